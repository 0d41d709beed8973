// SPDX-License-Identifier: GPL-3.0-or-later
// The built-in types: dates, node ids and their text, equality.
#include "opc/ua/wire/binary.h"

#include <QRegularExpression>

namespace opc::ua {

namespace {
constexpr int64_t TicksAtUnixEpoch = 116444736000000000LL;
constexpr int64_t TicksPerMs = 10000;
} // namespace

DateTime DateTime::fromMSecsSinceEpoch(int64_t ms)
{
    if (ms < -TicksAtUnixEpoch / TicksPerMs)
        return {0};
    if (ms > (INT64_MAX - TicksAtUnixEpoch) / TicksPerMs)
        return {INT64_MAX};
    return {ms * TicksPerMs + TicksAtUnixEpoch};
}

int64_t DateTime::toMSecsSinceEpoch() const { return (ticks - TicksAtUnixEpoch) / TicksPerMs; }

// --- NodeId text -------------------------------------------------------

namespace {
// Guid text: the first three fields are little-endian numbers on the wire.
QString guidText(const Guid &g)
{
    const auto &b = g.bytes;
    const auto hex = [](uint64_t v, int digits) { return QStringLiteral("%1").arg(v, digits, 16, QLatin1Char('0')).toUpper(); };
    const uint32_t d1 = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    const uint16_t d2 = static_cast<uint16_t>(b[4] | b[5] << 8);
    const uint16_t d3 = static_cast<uint16_t>(b[6] | b[7] << 8);
    QString tail1, tail2;
    for (int i = 8; i < 10; ++i)
        tail1 += hex(b[static_cast<size_t>(i)], 2);
    for (int i = 10; i < 16; ++i)
        tail2 += hex(b[static_cast<size_t>(i)], 2);
    return hex(d1, 8) + QLatin1Char('-') + hex(d2, 4) + QLatin1Char('-') + hex(d3, 4) + QLatin1Char('-') + tail1 +
           QLatin1Char('-') + tail2;
}

std::optional<Guid> parseGuid(const QString &text)
{
    static const QRegularExpression form(QStringLiteral("^([0-9A-Fa-f]{8})-([0-9A-Fa-f]{4})-([0-9A-Fa-f]{4})-"
                                                        "([0-9A-Fa-f]{4})-([0-9A-Fa-f]{12})$"));
    const auto m = form.match(text);
    if (!m.hasMatch())
        return std::nullopt;
    Guid g;
    const uint32_t d1 = m.captured(1).toUInt(nullptr, 16);
    const uint32_t d2 = m.captured(2).toUInt(nullptr, 16);
    const uint32_t d3 = m.captured(3).toUInt(nullptr, 16);
    for (int i = 0; i < 4; ++i)
        g.bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(d1 >> (8 * i));
    g.bytes[4] = static_cast<uint8_t>(d2);
    g.bytes[5] = static_cast<uint8_t>(d2 >> 8);
    g.bytes[6] = static_cast<uint8_t>(d3);
    g.bytes[7] = static_cast<uint8_t>(d3 >> 8);
    const QString tail = m.captured(4) + m.captured(5);
    for (int i = 0; i < 8; ++i)
        g.bytes[static_cast<size_t>(8 + i)] = static_cast<uint8_t>(tail.mid(2 * i, 2).toUInt(nullptr, 16));
    return g;
}
} // namespace

QString NodeId::toString() const
{
    const QString prefix = ns == 0 ? QString() : QStringLiteral("ns=%1;").arg(ns);
    switch (kind) {
    case Kind::Numeric:
        return prefix + QStringLiteral("i=%1").arg(numeric);
    case Kind::String:
        return prefix + QStringLiteral("s=") + string;
    case Kind::Guid:
        return prefix + QStringLiteral("g=") + guidText(guid);
    case Kind::Opaque:
        return prefix + QStringLiteral("b=") + QString::fromLatin1(opaque.data.toBase64());
    }
    return {};
}

std::optional<NodeId> NodeId::parse(const QString &text)
{
    QString rest = text;
    NodeId id;
    if (rest.startsWith(QLatin1String("ns="))) {
        const qsizetype semi = rest.indexOf(QLatin1Char(';'));
        if (semi < 0)
            return std::nullopt;
        bool ok = false;
        const uint ns = rest.mid(3, semi - 3).toUInt(&ok);
        if (!ok || ns > 0xFFFF)
            return std::nullopt;
        id.ns = static_cast<uint16_t>(ns);
        rest = rest.mid(semi + 1);
    }
    if (rest.size() < 2 || rest[1] != QLatin1Char('='))
        return std::nullopt;
    const QString body = rest.mid(2);
    switch (rest[0].unicode()) {
    case 'i': {
        bool ok = false;
        id.numeric = body.toUInt(&ok);
        if (!ok || body.startsWith(QLatin1Char('+')) || body.startsWith(QLatin1Char('-')))
            return std::nullopt;
        return id;
    }
    case 's':
        id.kind = Kind::String;
        id.string = body;
        return id;
    case 'g':
        if (const auto g = parseGuid(body)) {
            id.kind = Kind::Guid;
            id.guid = *g;
            return id;
        }
        return std::nullopt;
    case 'b': {
        const auto decoded = QByteArray::fromBase64Encoding(body.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded)
            return std::nullopt;
        id.kind = Kind::Opaque;
        id.opaque = ByteString::of(*decoded);
        return id;
    }
    default:
        return std::nullopt;
    }
}

bool NodeId::operator==(const NodeId &o) const
{
    if (ns != o.ns || kind != o.kind)
        return false;
    switch (kind) {
    case Kind::Numeric:
        return numeric == o.numeric;
    case Kind::String:
        return string == o.string;
    case Kind::Guid:
        return guid == o.guid;
    case Kind::Opaque:
        return opaque.data == o.opaque.data;
    }
    return false;
}

// --- Variant and DiagnosticInfo ---------------------------------------

Variant Variant::scalar(BuiltIn type, Scalar value) { return {type, false, {std::move(value)}, {}}; }
Variant Variant::array(BuiltIn type, std::vector<Scalar> values) { return {type, true, std::move(values), {}}; }

namespace {
bool scalarEqual(const Scalar &a, const Scalar &b)
{
    if (a.index() != b.index())
        return false;
    if (const auto *p = std::get_if<std::shared_ptr<DataValue>>(&a))
        return **p == *std::get<std::shared_ptr<DataValue>>(b);
    if (const auto *p = std::get_if<std::shared_ptr<Variant>>(&a))
        return **p == *std::get<std::shared_ptr<Variant>>(b);
    if (const auto *p = std::get_if<std::shared_ptr<DiagnosticInfo>>(&a))
        return **p == *std::get<std::shared_ptr<DiagnosticInfo>>(b);
    if (const auto *p = std::get_if<float>(&a)) // bitwise, so NaN equals NaN
        return std::bit_cast<uint32_t>(*p) == std::bit_cast<uint32_t>(std::get<float>(b));
    if (const auto *p = std::get_if<double>(&a))
        return std::bit_cast<uint64_t>(*p) == std::bit_cast<uint64_t>(std::get<double>(b));
    return a == b;
}
} // namespace

bool Variant::operator==(const Variant &o) const
{
    if (type != o.type || isArray != o.isArray || dimensions != o.dimensions || values.size() != o.values.size())
        return false;
    for (size_t i = 0; i < values.size(); ++i)
        if (!scalarEqual(values[i], o.values[i]))
            return false;
    return true;
}

bool DiagnosticInfo::operator==(const DiagnosticInfo &o) const
{
    if (symbolicId != o.symbolicId || namespaceUri != o.namespaceUri || localizedText != o.localizedText ||
        locale != o.locale || additionalInfo != o.additionalInfo || innerStatusCode != o.innerStatusCode)
        return false;
    if (!inner || !o.inner)
        return !inner && !o.inner;
    return *inner == *o.inner;
}

} // namespace opc::ua
