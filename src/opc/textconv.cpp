// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/errors.h"
#include "opc/value.h"

#include <QRegularExpression>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace opc {

// The decimal order of the first significant digit tells tiny from huge.
bool decimalIsTiny(const std::string &number)
{
    const size_t e = number.find('e');
    const std::string mantissa = number.substr(0, e);
    int64_t exponent = 0;
    if (e != std::string::npos) {
        size_t i = e + 1;
        const bool negative = i < number.size() && number[i] == '-';
        if (i < number.size() && (number[i] == '-' || number[i] == '+'))
            ++i;
        for (; i < number.size() && exponent < 1'000'000'000; ++i)
            exponent = exponent * 10 + (number[i] - '0');
        if (negative)
            exponent = -exponent;
    }
    const size_t point = std::min(mantissa.find('.'), mantissa.size());
    const size_t first = mantissa.find_first_of("123456789");
    if (first == std::string::npos)
        return true;
    const int64_t order = first < point ? static_cast<int64_t>(point - first - 1) : -static_cast<int64_t>(first - point);
    return order + exponent < 0;
}

namespace {

[[noreturn]] void mismatch() { throw OpcError(Status::DISP_E_TYPEMISMATCH); }
[[noreturn]] void overflow() { throw OpcError(Status::DISP_E_OVERFLOW); }

// A number as the locale writes it, normalised to "[-+]digits[.digits][E[-+]digits]".
// Returns false when the text is no number at all.
bool normaliseNumber(const QString &text, const QLocale &locale, std::string &out, bool &isInteger)
{
    QString s = text.trimmed();
    const QString point = locale.decimalPoint();
    const QString group = locale.groupSeparator();
    if (!group.isEmpty() && group != point) {
        // Group separators are accepted only in the integer part.
        const qsizetype at = s.indexOf(point);
        QString integerPart = at < 0 ? s : s.left(at);
        integerPart.remove(group);
        s = at < 0 ? integerPart : integerPart + s.mid(at);
    }
    if (point != QLatin1String("."))
        s.replace(point, QLatin1String("."));
    static const QRegularExpression number(QStringLiteral("^[+-]?(\\d+\\.?\\d*|\\.\\d+)([eE][+-]?\\d+)?$"));
    if (s.size() > 4096 || !number.match(s).hasMatch())
        return false;
    isInteger = !s.contains(QLatin1Char('.')) && !s.contains(QLatin1Char('e')) && !s.contains(QLatin1Char('E'));
    out = s.toStdString();
    if (!out.empty() && out.front() == '+')
        out.erase(0, 1);
    return true;
}

double parseReal(const QString &text, const QLocale &locale)
{
    std::string digits;
    bool isInteger = false;
    if (!normaliseNumber(text, locale, digits, isInteger)) {
        const QString word = text.trimmed();
        if (word.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0)
            return -1;
        if (word.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0)
            return 0;
        mismatch();
    }
    double v = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
    if (error == std::errc::result_out_of_range) {
        std::string lower = digits;
        std::replace(lower.begin(), lower.end(), 'E', 'e');
        if (decimalIsTiny(lower))
            return 0;
        overflow();
    }
    if (error != std::errc() || end != digits.data() + digits.size())
        mismatch();
    return v;
}

int64_t parseSigned(const QString &text, const QLocale &locale, int64_t low, int64_t high)
{
    std::string digits;
    bool isInteger = false;
    if (normaliseNumber(text, locale, digits, isInteger) && isInteger) {
        int64_t v = 0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
        if (error == std::errc::result_out_of_range)
            overflow();
        if (error != std::errc())
            mismatch();
        if (v < low || v > high)
            overflow();
        return v;
    }
    const double v = roundHalfEven(parseReal(text, locale));
    if (!(v >= static_cast<double>(low) && v <= static_cast<double>(high)) || v >= 9223372036854775808.0)
        overflow();
    return static_cast<int64_t>(v);
}

uint64_t parseUnsigned64(const QString &text, const QLocale &locale)
{
    std::string digits;
    bool isInteger = false;
    if (normaliseNumber(text, locale, digits, isInteger) && isInteger) {
        if (digits.front() == '-') {
            if (digits.find_first_not_of("-0") == std::string::npos)
                return 0;
            overflow();
        }
        uint64_t v = 0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
        if (error == std::errc::result_out_of_range)
            overflow();
        if (error != std::errc())
            mismatch();
        return v;
    }
    const double v = roundHalfEven(parseReal(text, locale));
    if (!(v >= 0 && v < 18446744073709551616.0))
        overflow();
    return static_cast<uint64_t>(v);
}

QDateTime parseDate(const QString &text, const QLocale &locale)
{
    const QString s = text.trimmed();
    if (s.isEmpty() || s.size() > 256)
        mismatch();
    const QString shortDate = locale.dateFormat(QLocale::ShortFormat);
    const QString longDate = locale.dateFormat(QLocale::LongFormat);
    QStringList times{locale.timeFormat(QLocale::LongFormat), locale.timeFormat(QLocale::ShortFormat),
                      QStringLiteral("HH:mm:ss"), QStringLiteral("H:mm:ss"), QStringLiteral("H:mm")};
    static const QRegularExpression zone(QStringLiteral("\\s*\\bt+\\b"));
    for (QString &t : times)
        t.remove(zone);
    QStringList dates{shortDate, longDate, QStringLiteral("yyyy-MM-dd")};
    if (!shortDate.contains(QLatin1String("yyyy")))
        dates.prepend(QString(shortDate).replace(QLatin1String("yy"), QLatin1String("yyyy")));

    for (const QString &d : dates) {
        for (const QString &t : times) {
            const QDateTime dt = locale.toDateTime(s, d + QLatin1Char(' ') + t);
            if (dt.isValid())
                return dt;
        }
        const QDate date = locale.toDate(s, d);
        if (date.isValid())
            return QDateTime(date, QTime(0, 0), Qt::LocalTime);
    }
    for (const QString &t : times) {
        const QTime time = locale.toTime(s, t);
        if (time.isValid())
            return QDateTime(QDate(1899, 12, 30), time, Qt::LocalTime);
    }
    const QDateTime iso = QDateTime::fromString(s, Qt::ISODateWithMs);
    if (iso.isValid())
        return iso;
    mismatch();
}

Value scalarFromText(const QString &text, uint16_t type, const QLocale &locale)
{
    switch (type) {
    case VT_BSTR:
        return Value::text(text);
    case VT_BOOL:
        return Value::boolean(parseReal(text, locale) != 0);
    case VT_I1:
        return Value::integer(type, parseSigned(text, locale, -128, 127));
    case VT_I2:
        return Value::integer(type, parseSigned(text, locale, -32768, 32767));
    case VT_I4:
        return Value::integer(type, parseSigned(text, locale, std::numeric_limits<int32_t>::min(),
                                                std::numeric_limits<int32_t>::max()));
    case VT_I8:
        return Value::integer(type, parseSigned(text, locale, std::numeric_limits<int64_t>::min(),
                                                std::numeric_limits<int64_t>::max()));
    case VT_UI1:
        return Value::integer(type, parseSigned(text, locale, 0, 255));
    case VT_UI2:
        return Value::integer(type, parseSigned(text, locale, 0, 65535));
    case VT_UI4:
        return Value::integer(type, parseSigned(text, locale, 0, std::numeric_limits<uint32_t>::max()));
    case VT_UI8:
        return Value::unsignedInteger(parseUnsigned64(text, locale));
    case VT_R4: {
        const double v = parseReal(text, locale);
        if (std::abs(v) > static_cast<double>(std::numeric_limits<float>::max()))
            overflow();
        return Value::real(VT_R4, v);
    }
    case VT_R8: {
        const double v = parseReal(text, locale);
        if (!std::isfinite(v))
            overflow();
        return Value::real(VT_R8, v);
    }
    case VT_CY: {
        const double scaled = roundHalfEven(parseReal(text, locale) * 10000.0);
        if (!(scaled >= -9223372036854775807.0 && scaled <= 9223372036854775807.0))
            overflow();
        return Value::currency(static_cast<int64_t>(scaled));
    }
    case VT_DATE:
        return Value::date(parseDate(text, locale));
    default:
        throw OpcError(Status::OPC_E_BADTYPE);
    }
}

} // namespace

// Arrays are written as their elements separated by ";", optionally in braces:
// "{1;2;3}". The separator cannot clash with a decimal comma.
Value textToValue(const QString &text, uint16_t type, const QLocale &locale)
{
    if ((type & VT_ARRAY) == 0)
        return scalarFromText(text, type, locale);
    const auto elementType = static_cast<uint16_t>(type & ~VT_ARRAY);
    QString body = text.trimmed();
    if (body.startsWith(QLatin1Char('{')) && body.endsWith(QLatin1Char('}')))
        body = body.mid(1, body.size() - 2);
    std::vector<Value> elements;
    if (!body.trimmed().isEmpty()) {
        const QStringList parts = body.split(QLatin1Char(';'));
        if (parts.size() > 65536)
            overflow();
        elements.reserve(static_cast<size_t>(parts.size()));
        for (const QString &part : parts)
            elements.push_back(scalarFromText(elementType == VT_BSTR ? part : part.trimmed(), elementType, locale));
    }
    return Value::array(elementType, std::move(elements));
}

} // namespace opc
