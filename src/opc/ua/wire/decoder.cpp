// SPDX-License-Identifier: GPL-3.0-or-later
// OPC UA Binary decoding: every length checked against the bytes that
// remain, every nesting against the depth limit, every allocation against
// the message's budget.
#include "opc/ua/wire/binary.h"

#include <QtEndian>
#include <bit>
#include <cstring>

namespace opc::ua {

namespace {
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
