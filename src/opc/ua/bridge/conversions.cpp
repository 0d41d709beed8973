// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/ua/bridge/conversions.h"

#include "opc/errors.h"
#include "opc/ua/wire/services.h"

namespace opc::ua {

using opc::OpcError;
namespace S = opc::Status;

namespace {

QString scalarText(const Scalar &s)
{
    if (const auto *v = std::get_if<QString>(&s))
        return *v;
    if (const auto *v = std::get_if<LocalizedText>(&s))
        return v->text;
    if (const auto *v = std::get_if<QualifiedName>(&s))
        return v->ns ? QStringLiteral("%1:%2").arg(v->ns).arg(v->name) : v->name;
    if (const auto *v = std::get_if<NodeId>(&s))
        return v->toString();
    if (const auto *v = std::get_if<Guid>(&s))
        return NodeId{0, NodeId::Kind::Guid, 0, {}, *v, {}}.toString().mid(2);
    return {};
}

} // namespace

opc::Value scalarValueOf(BuiltIn type, const Scalar &s)
{
    using opc::Value;
    switch (type) {
    case BuiltIn::Boolean: return Value::boolean(std::get<bool>(s));
    case BuiltIn::SByte: return Value::integer(opc::VT_I1, std::get<int8_t>(s));
    case BuiltIn::Byte: return Value::integer(opc::VT_UI1, std::get<uint8_t>(s));
    case BuiltIn::Int16: return Value::integer(opc::VT_I2, std::get<int16_t>(s));
    case BuiltIn::UInt16: return Value::integer(opc::VT_UI2, std::get<uint16_t>(s));
    case BuiltIn::Int32: return Value::integer(opc::VT_I4, std::get<int32_t>(s));
    case BuiltIn::UInt32: return Value::integer(opc::VT_UI4, std::get<uint32_t>(s));
    case BuiltIn::Int64: return Value::integer(opc::VT_I8, std::get<int64_t>(s));
    case BuiltIn::UInt64: return Value::unsignedInteger(std::get<uint64_t>(s));
    case BuiltIn::Float: return Value::real(opc::VT_R4, std::get<float>(s));
    case BuiltIn::Double: return Value::real(opc::VT_R8, std::get<double>(s));
    case BuiltIn::DateTime:
        return Value::date(QDateTime::fromMSecsSinceEpoch(std::get<DateTime>(s).toMSecsSinceEpoch(), Qt::UTC));
    case BuiltIn::StatusCode: return Value::integer(opc::VT_UI4, std::get<StatusCode>(s).code);
    case BuiltIn::ByteString: {
        std::vector<Value> bytes;
        for (char c : std::get<ByteString>(s).data)
            bytes.push_back(Value::integer(opc::VT_UI1, static_cast<uint8_t>(c)));
        return Value::array(opc::VT_UI1, std::move(bytes));
    }
    case BuiltIn::String:
    case BuiltIn::LocalizedText:
    case BuiltIn::QualifiedName:
    case BuiltIn::NodeId:
    case BuiltIn::Guid:
        return Value::text(scalarText(s));
    case BuiltIn::Variant:
        return valueOf(*std::get<std::shared_ptr<Variant>>(s));
    default:
        return {};
    }
}

namespace {

// The numeric data types of namespace 0 and their variant types.
int16_t scalarTypeOf(uint32_t dataType)
{
    switch (dataType) {
    case 1: return opc::VT_BOOL;
    case 2: return opc::VT_I1;
    case 3: return opc::VT_UI1;
    case 4: return opc::VT_I2;
    case 5: return opc::VT_UI2;
    case 6: return opc::VT_I4;
    case 7: return opc::VT_UI4;
    case 8: return opc::VT_I8;
    case 9: return opc::VT_UI8;
    case 10: return opc::VT_R4;
    case 11: return opc::VT_R8;
    // Every value shown as a text of its own is a string to a DA client:
    // Guid, XmlElement, node ids, status codes with their names, qualified
    // names, localized texts, structures, data values, diagnostics.
    case 12: case 14: case 16: case 17: case 18: case 19: case 20: case 21: case 22: case 23: case 25: return opc::VT_BSTR;
    case 13: return opc::VT_DATE;
    case 15: return static_cast<int16_t>(opc::VT_ARRAY | opc::VT_UI1);
    case 29: return opc::VT_I4; // enumerations
    default: return 12;          // VT_VARIANT: any type
    }
}

} // namespace

BuiltIn builtInOf(uint32_t dataType)
{
    if (dataType >= 1 && dataType <= 25)
        return static_cast<BuiltIn>(dataType);
    if (dataType == 29)
        return BuiltIn::Int32;
    return BuiltIn::Null;
}

Scalar scalarFor(BuiltIn type, const opc::Value &v)
{
    switch (type) {
    case BuiltIn::Boolean: return v.toBool();
    case BuiltIn::SByte: return static_cast<int8_t>(v.toInt64());
    case BuiltIn::Byte: return static_cast<uint8_t>(v.toInt64());
    case BuiltIn::Int16: return static_cast<int16_t>(v.toInt64());
    case BuiltIn::UInt16: return static_cast<uint16_t>(v.toInt64());
    case BuiltIn::Int32: return static_cast<int32_t>(v.toInt64());
    case BuiltIn::UInt32: return static_cast<uint32_t>(v.toInt64());
    case BuiltIn::Int64: return v.toInt64();
    case BuiltIn::UInt64: return v.toUInt64();
    case BuiltIn::Float: return static_cast<float>(v.toDouble());
    case BuiltIn::Double: return v.toDouble();
    case BuiltIn::String: return v.string();
    case BuiltIn::LocalizedText: return LocalizedText{QString(), v.string()};
    case BuiltIn::DateTime: return DateTime::fromMSecsSinceEpoch(v.toDateTime().toMSecsSinceEpoch());
    default: throw OpcError(S::DISP_E_TYPEMISMATCH);
    }
}

int32_t writeErrorOf(StatusCode status)
{
    switch (status.code & 0xFFFF0000u) {
    case Status::BadTypeMismatch: return S::DISP_E_TYPEMISMATCH;
    case Status::BadNotWritable:
    case Status::BadUserAccessDenied: return S::OPC_E_BADRIGHTS;
    case Status::BadOutOfRange: return S::OPC_E_RANGE;
    default: return S::E_FAIL;
    }
}

int32_t qualityOf(StatusCode status)
{
    static const std::pair<uint32_t, int32_t> known[] = {
        {0x00000000, 0xC0}, {0x00960000, 0xD8}, {0x40000000, 0x40}, {0x40900000, 0x44}, {0x40930000, 0x50},
        {0x40940000, 0x54}, {0x40950000, 0x58}, {0x80000000, 0x00}, {0x80890000, 0x04}, {0x808A0000, 0x08},
        {0x808B0000, 0x0C}, {0x808C0000, 0x10}, {0x80310000, 0x18}, {0x808D0000, 0x1C}, {0x80320000, 0x20},
    };
    int32_t quality = -1;
    for (const auto &[code, q] : known)
        if ((status.code & 0xFFFF0000u) == code)
            quality = q;
    if (quality < 0)
        quality = (status.code & 0x80000000u) ? 0x00 : (status.code & 0x40000000u) ? 0x40 : 0xC0;
    // UA limit bits 8-9 are the OPC limit bits 0-1.
    return quality | static_cast<int32_t>((status.code >> 8) & 0x3);
}

int16_t canonicalTypeOf(const NodeId &dataType, int32_t valueRank)
{
    const int16_t scalar = dataType.ns == 0 && dataType.kind == NodeId::Kind::Numeric ? scalarTypeOf(dataType.numeric) : 12;
    if (valueRank >= 0 && !(scalar & opc::VT_ARRAY))
        return static_cast<int16_t>(scalar | opc::VT_ARRAY);
    return scalar;
}

opc::Value valueOf(const Variant &v)
{
    if (v.isNull())
        return {};
    if (!v.isArray)
        return v.values.empty() ? opc::Value{} : scalarValueOf(v.type, v.values[0]);
    std::vector<opc::Value> elements;
    elements.reserve(v.values.size());
    for (const Scalar &s : v.values)
        elements.push_back(scalarValueOf(v.type, s));
    const uint16_t elementType = elements.empty() ? uint16_t{opc::VT_EMPTY} : elements.front().type();
    return opc::Value::array(elementType, std::move(elements));
}

} // namespace opc::ua
