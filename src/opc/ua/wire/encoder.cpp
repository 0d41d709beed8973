// SPDX-License-Identifier: GPL-3.0-or-later
// OPC UA Binary encoding.
#include "opc/ua/wire/binary.h"

#include <QStringEncoder>
#include <QtEndian>
#include <bit>
#include <cstring>

namespace opc::ua {

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
    // UTF-8 written in place behind its length: no copy of the text a string.
    const qsizetype at = m_out.size();
    m_out.resize(at + 4 + 3 * v.size());
    QStringEncoder utf8(QStringEncoder::Utf8);
    const char *end = utf8.appendToBuffer(m_out.data() + at + 4, v);
    const qsizetype length = end - (m_out.constData() + at + 4);
    m_out.resize(at + 4 + length);
    patchUInt32(at, static_cast<uint32_t>(length));
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

} // namespace opc::ua
