// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/ua/wire/binary.h"

#include <QRegularExpression>
#include <QtEndian>
#include <bit>
#include <cstring>

namespace opc::ua {

namespace {
constexpr int64_t TicksAtUnixEpoch = 116444736000000000LL;
constexpr int64_t TicksPerMs = 10000;

[[noreturn]] void malformed(const char *what) { throw DecodeError(what); }

// What a heap block costs beyond its bytes: a header and the allocator's own.
constexpr qsizetype BlockOverhead = 32;

// The fewest bytes an element of this type takes on the wire: an array of
// n elements needs at least n times this many bytes.
int smallestEncoding(BuiltIn type)
{
    switch (type) {
    case BuiltIn::Int16:
    case BuiltIn::UInt16:
    case BuiltIn::NodeId:
    case BuiltIn::ExpandedNodeId: return 2;
    case BuiltIn::Int32:
    case BuiltIn::UInt32:
    case BuiltIn::Float:
    case BuiltIn::String:
    case BuiltIn::ByteString:
    case BuiltIn::XmlElement:
    case BuiltIn::StatusCode: return 4;
    case BuiltIn::ExtensionObject: return 3;
    case BuiltIn::QualifiedName: return 6;
    case BuiltIn::Int64:
    case BuiltIn::UInt64:
    case BuiltIn::Double:
    case BuiltIn::DateTime: return 8;
    case BuiltIn::Guid: return 16;
    default: return 1;
    }
}

template <typename T>
T fromLE(const char *p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return qFromLittleEndian(v);
}
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

// --- Encoder -----------------------------------------------------------

void Encoder::uint16(uint16_t v)
{
    const uint16_t le = qToLittleEndian(v);
    m_out.append(reinterpret_cast<const char *>(&le), sizeof le);
}

void Encoder::uint32(uint32_t v)
{
    const uint32_t le = qToLittleEndian(v);
    m_out.append(reinterpret_cast<const char *>(&le), sizeof le);
}

void Encoder::uint64(uint64_t v)
{
    const uint64_t le = qToLittleEndian(v);
    m_out.append(reinterpret_cast<const char *>(&le), sizeof le);
}

void Encoder::float32(float v) { uint32(std::bit_cast<uint32_t>(v)); }
void Encoder::float64(double v) { uint64(std::bit_cast<uint64_t>(v)); }

void Encoder::patchUInt32(qsizetype at, uint32_t v)
{
    const uint32_t le = qToLittleEndian(v);
    std::memcpy(m_out.data() + at, &le, sizeof le);
}

void Encoder::string(const QString &v)
{
    if (v.isNull()) {
        int32(-1);
        return;
    }
    const QByteArray utf8 = v.toUtf8();
    int32(static_cast<int32_t>(utf8.size()));
    m_out.append(utf8);
}

void Encoder::guid(const Guid &v) { m_out.append(reinterpret_cast<const char *>(v.bytes.data()), 16); }

void Encoder::byteString(const ByteString &v)
{
    if (v.isNull) {
        int32(-1);
        return;
    }
    int32(static_cast<int32_t>(v.data.size()));
    m_out.append(v.data);
}

void Encoder::byteStringOf(QByteArrayView v)
{
    int32(static_cast<int32_t>(v.size()));
    m_out.append(v);
}

namespace {
void nodeIdBody(Encoder &e, const NodeId &v, uint8_t flags)
{
    switch (v.kind) {
    case NodeId::Kind::Numeric:
        if (v.ns == 0 && v.numeric <= 0xFF) {
            e.byte(0x00 | flags);
            e.byte(static_cast<uint8_t>(v.numeric));
        } else if (v.ns <= 0xFF && v.numeric <= 0xFFFF) {
            e.byte(0x01 | flags);
            e.byte(static_cast<uint8_t>(v.ns));
            e.uint16(static_cast<uint16_t>(v.numeric));
        } else {
            e.byte(0x02 | flags);
            e.uint16(v.ns);
            e.uint32(v.numeric);
        }
        return;
    case NodeId::Kind::String:
        e.byte(0x03 | flags);
        e.uint16(v.ns);
        e.string(v.string);
        return;
    case NodeId::Kind::Guid:
        e.byte(0x04 | flags);
        e.uint16(v.ns);
        e.guid(v.guid);
        return;
    case NodeId::Kind::Opaque:
        e.byte(0x05 | flags);
        e.uint16(v.ns);
        e.byteString(v.opaque);
        return;
    }
}
} // namespace

void Encoder::nodeId(const NodeId &v) { nodeIdBody(*this, v, 0); }

void Encoder::expandedNodeId(const ExpandedNodeId &v)
{
    const uint8_t flags = (v.namespaceUri.isNull() ? 0 : 0x80) | (v.serverIndex == 0 ? 0 : 0x40);
    nodeIdBody(*this, v.id, flags);
    if (!v.namespaceUri.isNull())
        string(v.namespaceUri);
    if (v.serverIndex != 0)
        uint32(v.serverIndex);
}

void Encoder::qualifiedName(const QualifiedName &v)
{
    uint16(v.ns);
    string(v.name);
}

void Encoder::localizedText(const LocalizedText &v)
{
    byte((v.locale.isNull() ? 0 : 0x01) | (v.text.isNull() ? 0 : 0x02));
    if (!v.locale.isNull())
        string(v.locale);
    if (!v.text.isNull())
        string(v.text);
}

void Encoder::extensionObject(const ExtensionObject &v)
{
    nodeId(v.typeId);
    byte(v.encoding);
    if (v.encoding != 0) {
        int32(static_cast<int32_t>(v.body.size()));
        m_out.append(v.body);
    }
}

void Encoder::scalar(BuiltIn type, const Scalar &v)
{
    switch (type) {
    case BuiltIn::Null: return;
    case BuiltIn::Boolean: return boolean(std::get<bool>(v));
    case BuiltIn::SByte: return sbyte(std::get<int8_t>(v));
    case BuiltIn::Byte: return byte(std::get<uint8_t>(v));
    case BuiltIn::Int16: return int16(std::get<int16_t>(v));
    case BuiltIn::UInt16: return uint16(std::get<uint16_t>(v));
    case BuiltIn::Int32: return int32(std::get<int32_t>(v));
    case BuiltIn::UInt32: return uint32(std::get<uint32_t>(v));
    case BuiltIn::Int64: return int64(std::get<int64_t>(v));
    case BuiltIn::UInt64: return uint64(std::get<uint64_t>(v));
    case BuiltIn::Float: return float32(std::get<float>(v));
    case BuiltIn::Double: return float64(std::get<double>(v));
    case BuiltIn::String: return string(std::get<QString>(v));
    case BuiltIn::DateTime: return dateTime(std::get<DateTime>(v));
    case BuiltIn::Guid: return guid(std::get<Guid>(v));
    case BuiltIn::ByteString: return byteString(std::get<ByteString>(v));
    case BuiltIn::XmlElement: return byteString(std::get<XmlElement>(v).text);
    case BuiltIn::NodeId: return nodeId(std::get<NodeId>(v));
    case BuiltIn::ExpandedNodeId: return expandedNodeId(std::get<ExpandedNodeId>(v));
    case BuiltIn::StatusCode: return statusCode(std::get<StatusCode>(v));
    case BuiltIn::QualifiedName: return qualifiedName(std::get<QualifiedName>(v));
    case BuiltIn::LocalizedText: return localizedText(std::get<LocalizedText>(v));
    case BuiltIn::ExtensionObject: return extensionObject(std::get<ExtensionObject>(v));
    case BuiltIn::DataValue: return dataValue(*std::get<std::shared_ptr<DataValue>>(v));
    case BuiltIn::Variant: return variant(*std::get<std::shared_ptr<Variant>>(v));
    case BuiltIn::DiagnosticInfo: return diagnosticInfo(*std::get<std::shared_ptr<DiagnosticInfo>>(v));
    }
}

void Encoder::variant(const Variant &v)
{
    if (v.type == BuiltIn::Null) {
        byte(0);
        return;
    }
    uint8_t mask = static_cast<uint8_t>(v.type);
    if (v.isArray)
        mask |= 0x80;
    if (v.isArray && !v.dimensions.empty())
        mask |= 0x40;
    byte(mask);
    if (v.isArray) {
        int32(static_cast<int32_t>(v.values.size()));
        for (const Scalar &s : v.values)
            scalar(v.type, s);
        if (!v.dimensions.empty()) {
            int32(static_cast<int32_t>(v.dimensions.size()));
            for (int32_t d : v.dimensions)
                int32(d);
        }
    } else {
        scalar(v.type, v.values.at(0));
    }
}

void Encoder::dataValue(const DataValue &v)
{
    const uint8_t mask = (v.value ? 0x01 : 0) | (v.status ? 0x02 : 0) | (v.sourceTimestamp ? 0x04 : 0) |
                         (v.serverTimestamp ? 0x08 : 0) | (v.sourcePicoseconds ? 0x10 : 0) |
                         (v.serverPicoseconds ? 0x20 : 0);
    byte(mask);
    if (v.value)
        variant(*v.value);
    if (v.status)
        statusCode(*v.status);
    if (v.sourceTimestamp)
        dateTime(*v.sourceTimestamp);
    if (v.sourcePicoseconds)
        uint16(*v.sourcePicoseconds);
    if (v.serverTimestamp)
        dateTime(*v.serverTimestamp);
    if (v.serverPicoseconds)
        uint16(*v.serverPicoseconds);
}

void Encoder::diagnosticInfo(const DiagnosticInfo &v)
{
    const uint8_t mask = (v.symbolicId ? 0x01 : 0) | (v.namespaceUri ? 0x02 : 0) | (v.localizedText ? 0x04 : 0) |
                         (v.locale ? 0x08 : 0) | (v.additionalInfo ? 0x10 : 0) | (v.innerStatusCode ? 0x20 : 0) |
                         (v.inner ? 0x40 : 0);
    byte(mask);
    if (v.symbolicId)
        int32(*v.symbolicId);
    if (v.namespaceUri)
        int32(*v.namespaceUri);
    if (v.locale)
        int32(*v.locale);
    if (v.localizedText)
        int32(*v.localizedText);
    if (v.additionalInfo)
        string(*v.additionalInfo);
    if (v.innerStatusCode)
        statusCode(*v.innerStatusCode);
    if (v.inner)
        diagnosticInfo(*v.inner);
}

// --- Decoder -----------------------------------------------------------

Decoder::Decoder(QByteArray bytes)
    : m_bytes(std::move(bytes)), m_data(m_bytes.constData()), m_size(m_bytes.size()),
      m_ownBudget(DecodeCostAllowance + DecodeCostPerByte * m_size), m_budget(&m_ownBudget)
{
}

Decoder::Decoder(QByteArray bytes, qsizetype budget)
    : m_bytes(std::move(bytes)), m_data(m_bytes.constData()), m_size(m_bytes.size()), m_ownBudget(budget),
      m_budget(&m_ownBudget)
{
}

Decoder::Decoder(QByteArray bytes, Decoder &whole)
    : m_bytes(std::move(bytes)), m_data(m_bytes.constData()), m_size(m_bytes.size()), m_budget(whole.m_budget)
{
}

void Decoder::charge(qsizetype bytes)
{
    if (bytes < 0 || bytes > *m_budget)
        malformed("decoding would cost more memory than the message allows");
    *m_budget -= bytes;
}

void Decoder::outOfMemory() { malformed("out of memory"); }

template <typename T>
std::shared_ptr<T> Decoder::node(T value)
{
    charge(static_cast<qsizetype>(sizeof(T)) + BlockOverhead);
    try {
        return std::make_shared<T>(std::move(value));
    } catch (const std::bad_alloc &) {
        outOfMemory();
    }
}

Decoder::Depth::Depth(Decoder &d) : m_d(d)
{
    if (++m_d.m_depth > MaxDepth) {
        --m_d.m_depth;
        malformed("nesting too deep");
    }
}

const char *Decoder::take(qsizetype n)
{
    if (n < 0 || n > remaining())
        malformed("truncated message");
    const char *p = m_data + m_pos;
    m_pos += n;
    return p;
}

void Decoder::skip(qsizetype n) { take(n); }

uint8_t Decoder::byte() { return static_cast<uint8_t>(*take(1)); }
uint16_t Decoder::uint16() { return fromLE<uint16_t>(take(2)); }
uint32_t Decoder::uint32() { return fromLE<uint32_t>(take(4)); }
uint64_t Decoder::uint64() { return fromLE<uint64_t>(take(8)); }
float Decoder::float32() { return std::bit_cast<float>(uint32()); }
double Decoder::float64() { return std::bit_cast<double>(uint64()); }

QString Decoder::string()
{
    const int32_t n = int32();
    if (n < 0)
        return {};
    const char *p = take(n);
    if (n == 0)
        return QStringLiteral("");
    charge(2 * static_cast<qsizetype>(n) + BlockOverhead);
    try {
        return QString::fromUtf8(p, n);
    } catch (const std::bad_alloc &) {
        outOfMemory();
    }
}

Guid Decoder::guid()
{
    Guid g;
    std::memcpy(g.bytes.data(), take(16), 16);
    return g;
}

ByteString Decoder::byteString()
{
    const int32_t n = int32();
    if (n < 0)
        return {};
    const char *p = take(n);
    charge(n + BlockOverhead);
    try {
        return ByteString::of(QByteArray(p, n));
    } catch (const std::bad_alloc &) {
        outOfMemory();
    }
}

namespace {
NodeId nodeIdBody(Decoder &d, uint8_t encoding)
{
    NodeId id;
    switch (encoding & 0x3F) {
    case 0x00:
        id.numeric = d.byte();
        return id;
    case 0x01:
        id.ns = d.byte();
        id.numeric = d.uint16();
        return id;
    case 0x02:
        id.ns = d.uint16();
        id.numeric = d.uint32();
        return id;
    case 0x03:
        id.ns = d.uint16();
        id.kind = NodeId::Kind::String;
        id.string = d.string();
        return id;
    case 0x04:
        id.ns = d.uint16();
        id.kind = NodeId::Kind::Guid;
        id.guid = d.guid();
        return id;
    case 0x05:
        id.ns = d.uint16();
        id.kind = NodeId::Kind::Opaque;
        id.opaque = d.byteString();
        return id;
    default:
        malformed("unknown node id encoding");
    }
}
} // namespace

NodeId Decoder::nodeId()
{
    const uint8_t encoding = byte();
    if (encoding & 0xC0)
        malformed("expanded flags in a node id");
    return nodeIdBody(*this, encoding);
}

ExpandedNodeId Decoder::expandedNodeId()
{
    const uint8_t encoding = byte();
    ExpandedNodeId id;
    id.id = nodeIdBody(*this, encoding);
    if (encoding & 0x80)
        id.namespaceUri = string();
    if (encoding & 0x40)
        id.serverIndex = uint32();
    return id;
}

QualifiedName Decoder::qualifiedName()
{
    QualifiedName q;
    q.ns = uint16();
    q.name = string();
    return q;
}

LocalizedText Decoder::localizedText()
{
    const uint8_t mask = byte();
    LocalizedText t;
    if (mask & 0x01)
        t.locale = string();
    if (mask & 0x02)
        t.text = string();
    return t;
}

ExtensionObject Decoder::extensionObject()
{
    ExtensionObject x;
    x.typeId = nodeId();
    x.encoding = byte();
    if (x.encoding > 2)
        malformed("unknown extension object encoding");
    if (x.encoding != 0) {
        const int32_t n = int32();
        if (n < 0)
            return x;
        const char *p = take(n);
        charge(n + BlockOverhead);
        try {
            x.body = QByteArray(p, n);
        } catch (const std::bad_alloc &) {
            outOfMemory();
        }
    }
    return x;
}

int32_t Decoder::arrayLength(int minElementSize)
{
    const int32_t n = int32();
    if (n < 0)
        return 0;
    if (n > MaxArrayLength || static_cast<qsizetype>(n) * std::max(minElementSize, 1) > remaining())
        malformed("array longer than the message");
    return n;
}

Scalar Decoder::scalar(BuiltIn type)
{
    switch (type) {
    case BuiltIn::Null: return std::monostate{};
    case BuiltIn::Boolean: return boolean();
    case BuiltIn::SByte: return sbyte();
    case BuiltIn::Byte: return byte();
    case BuiltIn::Int16: return int16();
    case BuiltIn::UInt16: return uint16();
    case BuiltIn::Int32: return int32();
    case BuiltIn::UInt32: return uint32();
    case BuiltIn::Int64: return int64();
    case BuiltIn::UInt64: return uint64();
    case BuiltIn::Float: return float32();
    case BuiltIn::Double: return float64();
    case BuiltIn::String: return string();
    case BuiltIn::DateTime: return dateTime();
    case BuiltIn::Guid: return guid();
    case BuiltIn::ByteString: return byteString();
    case BuiltIn::XmlElement: return XmlElement{byteString()};
    case BuiltIn::NodeId: return nodeId();
    case BuiltIn::ExpandedNodeId: return expandedNodeId();
    case BuiltIn::StatusCode: return statusCode();
    case BuiltIn::QualifiedName: return qualifiedName();
    case BuiltIn::LocalizedText: return localizedText();
    case BuiltIn::ExtensionObject: return extensionObject();
    case BuiltIn::DataValue: return node(dataValue());
    case BuiltIn::Variant: return node(variant());
    case BuiltIn::DiagnosticInfo: return node(diagnosticInfo());
    }
    malformed("unknown built-in type");
}

Variant Decoder::variant()
{
    Depth depth(*this);
    const uint8_t mask = byte();
    const uint8_t typeId = mask & 0x3F;
    if (typeId > static_cast<uint8_t>(BuiltIn::DiagnosticInfo))
        malformed("unknown variant type");
    Variant v;
    v.type = static_cast<BuiltIn>(typeId);
    if (v.type == BuiltIn::Null)
        return v;
    // A variant may not hold a variant directly, only in an array.
    if ((mask & 0x80) == 0) {
        if (v.type == BuiltIn::Variant)
            malformed("variant in a variant");
        v.values.push_back(scalar(v.type));
        return v;
    }
    v.isArray = true;
    const int32_t n = arrayLength(smallestEncoding(v.type));
    reserveCharged(v.values, n);
    for (int32_t i = 0; i < n; ++i)
        v.values.push_back(scalar(v.type));
    if (mask & 0x40) {
        const int32_t dims = arrayLength(4);
        reserveCharged(v.dimensions, dims);
        int64_t product = 1;
        for (int32_t i = 0; i < dims; ++i) {
            const int32_t d = int32();
            if (d < 0)
                malformed("negative array dimension");
            v.dimensions.push_back(d);
            // Saturates well past any real length, without overflowing.
            constexpr int64_t Ceiling = int64_t{1} << 40;
            product = d != 0 && product > Ceiling / d ? Ceiling : product * d;
        }
        if (product != n)
            malformed("array dimensions do not match its length");
    }
    return v;
}

DataValue Decoder::dataValue()
{
    Depth depth(*this);
    const uint8_t mask = byte();
    DataValue v;
    if (mask & 0x01)
        v.value = variant();
    if (mask & 0x02)
        v.status = statusCode();
    if (mask & 0x04)
        v.sourceTimestamp = dateTime();
    if (mask & 0x10)
        v.sourcePicoseconds = uint16();
    if (mask & 0x08)
        v.serverTimestamp = dateTime();
    if (mask & 0x20)
        v.serverPicoseconds = uint16();
    return v;
}

DiagnosticInfo Decoder::diagnosticInfo()
{
    Depth depth(*this);
    const uint8_t mask = byte();
    DiagnosticInfo v;
    if (mask & 0x01)
        v.symbolicId = int32();
    if (mask & 0x02)
        v.namespaceUri = int32();
    if (mask & 0x08)
        v.locale = int32();
    if (mask & 0x04)
        v.localizedText = int32();
    if (mask & 0x10)
        v.additionalInfo = string();
    if (mask & 0x20)
        v.innerStatusCode = statusCode();
    if (mask & 0x40)
        v.inner = node(diagnosticInfo());
    return v;
}

} // namespace opc::ua
