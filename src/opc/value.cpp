// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/value.h"

#include "opc/errors.h"

#include <QRegularExpression>
#include <algorithm>
#include <cmath>
#include <charconv>

namespace opc {

Value Value::null()
{
    Value v;
    v.m_type = VT_NULL;
    return v;
}

Value Value::integer(uint16_t type, int64_t n)
{
    Value v;
    v.m_type = type;
    v.m_int = n;
    v.m_real = static_cast<double>(n);
    return v;
}

Value Value::unsignedInteger(uint64_t n)
{
    Value v;
    v.m_type = VT_UI8;
    v.m_int = static_cast<int64_t>(n);
    v.m_real = static_cast<double>(n);
    return v;
}

Value Value::real(uint16_t type, double d)
{
    Value v;
    v.m_type = type;
    v.m_real = type == VT_R4 ? static_cast<double>(static_cast<float>(d)) : d;
    return v;
}

Value Value::currency(int64_t scaled)
{
    Value v;
    v.m_type = VT_CY;
    v.m_int = scaled;
    v.m_real = static_cast<double>(scaled) / 10000.0;
    return v;
}

Value Value::date(const QDateTime &instant)
{
    Value v;
    v.m_type = VT_DATE;
    v.m_int = instant.toMSecsSinceEpoch();
    return v;
}

Value Value::text(const QString &s)
{
    Value v;
    v.m_type = VT_BSTR;
    v.m_text = s;
    return v;
}

Value Value::deferredText(std::shared_ptr<const DeferredText> deferred)
{
    Value v;
    v.m_type = VT_BSTR;
    v.m_deferred = std::move(deferred);
    return v;
}

const QString &DeferredText::text() const
{
    std::call_once(m_made, [this] { m_text = make(); });
    return m_text;
}

Value Value::boolean(bool b)
{
    Value v;
    v.m_type = VT_BOOL;
    v.m_int = b ? -1 : 0;
    return v;
}

Value Value::error(int32_t code)
{
    Value v;
    v.m_type = VT_ERROR;
    v.m_int = code;
    return v;
}

Value Value::array(uint16_t elementType, std::vector<Value> elements, int32_t lowerBound)
{
    Value v;
    v.m_type = static_cast<uint16_t>(VT_ARRAY | elementType);
    v.m_elements = std::make_shared<const std::vector<Value>>(std::move(elements));
    v.m_lowerBound = lowerBound;
    return v;
}

QDateTime Value::toDateTime() const { return QDateTime::fromMSecsSinceEpoch(m_int, Qt::UTC); }

const std::vector<Value> &Value::elements() const
{
    static const std::vector<Value> none;
    return m_elements ? *m_elements : none;
}

bool Value::sameText(const Value &other) const
{
    // Two deferred texts of different sources count as changed: a row is
    // redrawn at worst, and no text is made for rows no one sees.
    if (m_deferred && other.m_deferred)
        return m_deferred == other.m_deferred || m_deferred->sameAs(*other.m_deferred);
    if (!m_deferred && !other.m_deferred)
        return m_text == other.m_text;
    return string() == other.string();
}

bool Value::operator==(const Value &other) const
{
    return m_type == other.m_type && m_int == other.m_int &&
           (m_real == other.m_real || (std::isnan(m_real) && std::isnan(other.m_real))) && sameText(other) &&
           (m_elements == other.m_elements || elements() == other.elements()) && m_lowerBound == other.m_lowerBound;
}

double roundHalfEven(double v)
{
    if (!std::isfinite(v))
        return v;
    const double floor = std::floor(v);
    const double diff = v - floor;
    if (diff < 0.5)
        return floor;
    if (diff > 0.5)
        return floor + 1.0;
    return std::fmod(floor, 2.0) == 0.0 ? floor : floor + 1.0;
}

namespace {

// The general format chooses plain or exponent notation exactly as the classic
// conversion does: exponent form when the exponent is below -4 or reaches
// the number of significant digits.
QString realText(double v, int digits, const QLocale &locale)
{
    if (std::isnan(v))
        return QStringLiteral("NaN");
    if (std::isinf(v))
        return v > 0 ? QStringLiteral("Inf") : QStringLiteral("-Inf");
    if (v == 0.0)
        return QStringLiteral("0");
    // to_chars ignores the process locale, unlike printf.
    char buffer[64];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::general, digits).ptr;
    QString s = QString::fromLatin1(buffer, static_cast<int>(end - buffer)).toUpper();
    s.replace(QLatin1Char('.'), locale.decimalPoint());
    return s;
}

QString currencyText(int64_t scaled, const QLocale &locale)
{
    const bool negative = scaled < 0;
    const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(scaled) : static_cast<uint64_t>(scaled);
    QString s = QString::number(magnitude / 10000);
    uint64_t fraction = magnitude % 10000;
    if (fraction != 0) {
        QString digits = QStringLiteral("%1").arg(fraction, 4, 10, QLatin1Char('0'));
        while (digits.endsWith(QLatin1Char('0')))
            digits.chop(1);
        s += locale.decimalPoint() + digits;
    }
    return negative ? QLatin1Char('-') + s : s;
}

QString shortDateFormat(const QLocale &locale)
{
    QString format = locale.dateFormat(QLocale::ShortFormat);
    // Four-digit years: a two-digit year cannot tell 1899 from 1999.
    if (!format.contains(QLatin1String("yyyy")))
        format.replace(QLatin1String("yy"), QLatin1String("yyyy"));
    return format;
}

QString longTimeFormat(const QLocale &locale)
{
    static const QRegularExpression zone(QStringLiteral("\\s*\\bt+\\b"));
    QString format = locale.timeFormat(QLocale::LongFormat);
    format.remove(zone);
    return format.trimmed();
}

} // namespace

QDateTime dayZero()
{
    // Made once: each local-time construction asks the system for the time zone.
    static const QDateTime zero(QDate(1899, 12, 30), QTime(0, 0), Qt::LocalTime);
    return zero;
}

namespace {

QString formatDate(const QDateTime &instant, const QLocale &locale, const QString &dateFormat, const QString &timeFormat)
{
    const QDateTime local = instant.toLocalTime();
    const QString time = locale.toString(local.time(), timeFormat);
    if (local.date() == QDate(1899, 12, 30))
        return time;
    const QString date = locale.toString(local.date(), dateFormat);
    if (local.time() == QTime(0, 0))
        return date;
    return date + QLatin1Char(' ') + time;
}

} // namespace

// A refresh converts thousands of timestamps that are mostly one and the same
// sample time; the local-time lookup behind each costs a file check, so the
// last instant's text and the locale's formats are kept.
QString dateToText(const QDateTime &instant, const QLocale &locale)
{
    struct Last {
        QLocale locale;
        QString dateFormat;
        QString timeFormat;
        bool valid = false;
        int64_t ms = 0;
        QString text;
    };
    thread_local Last last{QLocale::c(), {}, {}, false, 0, {}};
    if (!instant.isValid())
        return formatDate(instant, locale, shortDateFormat(locale), longTimeFormat(locale));
    if (!(last.locale == locale) || last.dateFormat.isEmpty()) {
        last.locale = locale;
        last.dateFormat = shortDateFormat(locale);
        last.timeFormat = longTimeFormat(locale);
        last.valid = false;
    }
    const int64_t ms = instant.toMSecsSinceEpoch();
    if (!last.valid || last.ms != ms) {
        last.text = formatDate(instant, locale, last.dateFormat, last.timeFormat);
        last.ms = ms;
        last.valid = true;
    }
    return last.text;
}

QString valueToText(const Value &value, const QLocale &locale)
{
    if (value.isArray())
        throw OpcError(Status::DISP_E_TYPEMISMATCH);
    switch (value.type()) {
    case VT_EMPTY:
        return {};
    case VT_BOOL:
        return value.toBool() ? QStringLiteral("True") : QStringLiteral("False");
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
        return QString::number(value.toInt64());
    case VT_UI8:
        return QString::number(value.toUInt64());
    case VT_R4:
        return realText(value.toDouble(), 7, locale);
    case VT_R8:
        return realText(value.toDouble(), 15, locale);
    case VT_CY:
        return currencyText(value.toInt64(), locale);
    case VT_DATE:
        return dateToText(value.toDateTime(), locale);
    case VT_BSTR:
        return value.string();
    default:
        throw OpcError(Status::DISP_E_TYPEMISMATCH);
    }
}

QString valueToCellText(const Value &value, const QLocale &locale, qsizetype maxLength)
{
    if (!value.isArray())
        return valueToText(value, locale);
    QString text = QStringLiteral("{");
    bool first = true;
    for (const Value &element : value.elements()) {
        if (!first)
            text += QLatin1Char(';');
        first = false;
        const QString part = valueToText(element, locale);
        const qsizetype room = maxLength - text.size();
        if (part.size() > room) {
            text += QStringView(part).left(std::max<qsizetype>(room, 0));
            text += QChar(0x2026);
            break;
        }
        text += part;
    }
    return text + QLatin1Char('}');
}

QString signedNumberText(int64_t n)
{
    return n < 0 ? QString::number(n) : QLatin1Char(' ') + QString::number(n);
}

QString hexText(int32_t n) { return QString::number(static_cast<uint32_t>(n), 16).toUpper(); }

} // namespace opc
