// SPDX-License-Identifier: GPL-3.0-or-later
// The rate field's text: any text gives a 32-bit number or error 6, and a
// plain decimal integer gives exactly itself.
#include "groups/ratetext.h"
#include "opc/errors.h"

#include <cstdint>
#include <cstdlib>
#include <optional>

namespace {

// The integer a text of blanks, one leading sign and digits stands for;
// nothing for any other text. Saturates far outside the 32-bit range.
std::optional<int64_t> plainInteger(const QString &text)
{
    int64_t value = 0;
    bool negative = false, sign = false, digits = false;
    for (const QChar c : text) {
        if (c == QLatin1Char(' '))
            continue;
        if ((c == QLatin1Char('+') || c == QLatin1Char('-')) && !sign && !digits) {
            sign = true;
            negative = c == QLatin1Char('-');
        } else if (c >= QLatin1Char('0') && c <= QLatin1Char('9')) {
            digits = true;
            value = std::min<int64_t>(value * 10 + (c.unicode() - '0'), int64_t{1} << 40);
        } else {
            return std::nullopt;
        }
    }
    if (!digits)
        return std::nullopt;
    return negative ? -value : value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const std::optional<int64_t> expected = plainInteger(text);
    try {
        const int32_t rate = quorivo::rateFromText(text);
        if (expected && *expected != rate)
            std::abort();
    } catch (const opc::OpcError &e) {
        if (e.code() != opc::Status::NUMERIC_OVERFLOW)
            std::abort();
        if (expected && *expected >= INT32_MIN && *expected <= INT32_MAX)
            std::abort();
    }
    return 0;
}
