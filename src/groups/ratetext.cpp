// SPDX-License-Identifier: GPL-3.0-or-later
#include "groups/ratetext.h"

#include "opc/errors.h"
#include "opc/value.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace quorivo {

namespace {

[[noreturn]] void overflow() { throw opc::OpcError(opc::Status::NUMERIC_OVERFLOW); }

bool isBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n'; }

int32_t radixNumber(const std::u16string &s, size_t at, int radix)
{
    uint64_t v = 0;
    bool any = false;
    for (; at < s.size(); ++at) {
        const char16_t c = s[at];
        int digit = -1;
        if (c >= u'0' && c <= u'9')
            digit = c - u'0';
        else if (radix == 16 && c >= u'a' && c <= u'f')
            digit = c - u'a' + 10;
        else if (radix == 16 && c >= u'A' && c <= u'F')
            digit = c - u'A' + 10;
        if (digit < 0 || digit >= radix)
            break;
        any = true;
        v = v * static_cast<uint64_t>(radix) + static_cast<uint64_t>(digit);
        if (v > std::numeric_limits<uint32_t>::max())
            overflow();
    }
    // Like the classic reading, eight hex digits are a 32-bit pattern: &HFFFFFFFF is -1.
    return any ? static_cast<int32_t>(static_cast<uint32_t>(v)) : 0;
}

} // namespace

int32_t rateFromText(const QString &text)
{
    std::u16string s;
    s.reserve(static_cast<size_t>(text.size()));
    for (QChar c : text)
        if (!isBlank(c.unicode()))
            s.push_back(c.unicode());

    if (s.size() >= 2 && s[0] == u'&') {
        if (s[1] == u'H' || s[1] == u'h')
            return radixNumber(s, 2, 16);
        if (s[1] == u'O' || s[1] == u'o')
            return radixNumber(s, 2, 8);
    }

    // The longest leading "[sign]digits[.digits][E[sign]digits]".
    std::string number;
    size_t i = 0;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) {
        if (s[i] == u'-')
            number.push_back('-');
        ++i;
    }
    size_t digits = 0;
    for (; i < s.size() && s[i] >= u'0' && s[i] <= u'9'; ++i, ++digits)
        number.push_back(static_cast<char>(s[i]));
    if (i < s.size() && s[i] == u'.') {
        number.push_back('.');
        for (++i; i < s.size() && s[i] >= u'0' && s[i] <= u'9'; ++i, ++digits)
            number.push_back(static_cast<char>(s[i]));
    }
    if (digits == 0)
        return 0;
    if (i < s.size() && (s[i] == u'E' || s[i] == u'e')) {
        size_t j = i + 1;
        std::string exponent = "e";
        if (j < s.size() && (s[j] == u'+' || s[j] == u'-'))
            exponent.push_back(static_cast<char>(s[j++]));
        const size_t firstDigit = j;
        for (; j < s.size() && s[j] >= u'0' && s[j] <= u'9'; ++j)
            exponent.push_back(static_cast<char>(s[j]));
        if (j > firstDigit)
            number += exponent;
    }

    double v = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), v);
    if (error == std::errc::result_out_of_range) {
        if (opc::decimalIsTiny(number))
            return 0;
        overflow();
    }
    if (error != std::errc())
        return 0;
    const double rounded = opc::roundHalfEven(v);
    if (!(rounded >= -2147483648.0 && rounded <= 2147483647.0))
        overflow();
    return static_cast<int32_t>(rounded);
}

} // namespace quorivo
