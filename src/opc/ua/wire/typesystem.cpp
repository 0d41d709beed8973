// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/ua/wire/typesystem.h"

#include <algorithm>

namespace opc::ua {

namespace {

const char *const BuiltInNames[] = {"Null",       "Boolean",        "SByte",         "Byte",          "Int16",
                                    "UInt16",     "Int32",          "UInt32",        "Int64",         "UInt64",
                                    "Float",      "Double",         "String",        "DateTime",      "Guid",
                                    "ByteString", "XmlElement",     "NodeId",        "ExpandedNodeId", "StatusCode",
                                    "QualifiedName", "LocalizedText", "ExtensionObject", "DataValue", "Variant",
                                    "DiagnosticInfo"};

[[noreturn]] void wrong(const QString &why) { throw EncodeError(why.toStdString()); }

// Why a body did not decode, as the table shows it.
QString reasonOf(const DecodeError &e)
{
    const QByteArray what(e.what());
    if (what == "truncated message" || what.startsWith("array longer") || what.startsWith("array dimensions"))
        return QStringLiteral("corpo più corto della definizione");
    if (what.startsWith("decoding would cost") || what == "out of memory")
        return QStringLiteral("troppo grande");
    if (what == "nesting too deep")
        return QStringLiteral("strutture annidate troppo a fondo");
    return QString::fromUtf8(what);
}

Decoded opaque(const ExtensionObject &x, const QString &reason)
{
    Decoded out;
    out.kind = Decoded::Kind::Opaque;
    out.opaque = x;
    out.reason = reason;
    return out;
}

Decoded scalarOf(BuiltIn type, Scalar value)
{
    Decoded out;
    out.kind = Decoded::Kind::Scalar;
    out.builtIn = type;
    out.scalar = std::move(value);
    return out;
}

// Reads bit fields least significant bit first, a byte at a time; any
// other field starts at the next whole byte (OPC 10000-5 Annex D).
class Bits {
public:
    explicit Bits(Decoder &d) : m_d(d) {}
    uint64_t read(int count)
    {
        uint64_t value = 0;
        for (int i = 0; i < count; ++i) {
            if (m_left == 0) {
                m_byte = m_d.byte();
                m_left = 8;
            }
            value |= static_cast<uint64_t>(m_byte & 1u) << i;
            m_byte >>= 1;
            --m_left;
        }
        return value;
    }
    void align() { m_left = 0; }

private:
    Decoder &m_d;
    uint8_t m_byte = 0;
    int m_left = 0;
};

class BitWriter {
public:
    explicit BitWriter(Encoder &e) : m_e(e) {}
    void write(uint64_t value, int count)
    {
        for (int i = 0; i < count; ++i) {
            m_byte |= static_cast<uint8_t>(((value >> i) & 1u) << m_used);
            if (++m_used == 8)
                flush();
        }
    }
    void flush()
    {
        if (m_used > 0)
            m_e.byte(m_byte);
        m_byte = 0;
        m_used = 0;
    }

private:
    Encoder &m_e;
    uint8_t m_byte = 0;
    int m_used = 0;
};

// An integer a switch or a length may be read from.
std::optional<int64_t> integerOf(const Decoded &v)
{
    if (v.kind == Decoded::Kind::Enumerant)
        return v.number;
    if (v.kind != Decoded::Kind::Scalar)
        return std::nullopt;
    return std::visit([](const auto &x) -> std::optional<int64_t> {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_integral_v<T>)
            return static_cast<int64_t>(x);
        else
            return std::nullopt;
    }, v.scalar);
}

Decoded decodeRanked(const TypeTable &table, const FieldDef &f, Decoder &d, int depth)
{
    if (f.valueRank < 0)
        return decodeType(table, f.type, d, depth);
    Decoded out;
    out.kind = Decoded::Kind::Array;
    int64_t count = 0;
    if (f.valueRank > 1) {
        // A matrix in a structure: its dimensions, then every element.
        out.dimensions = d.array([](Decoder &x) { return x.int32(); }, 4);
        count = 1;
        for (int32_t n : out.dimensions) {
            if (n < 0)
                throw DecodeError("dimensione negativa");
            count = std::min<int64_t>(count * n, int64_t{1} << 31);
        }
        if (count > d.remaining())
            throw DecodeError("matrice più grande del corpo");
    } else {
        count = d.arrayLength(1);
    }
    d.charge(static_cast<qsizetype>(count) * static_cast<qsizetype>(sizeof(Decoded)));
    out.items.reserve(static_cast<size_t>(count));
    for (int64_t i = 0; i < count; ++i)
        out.items.push_back(decodeType(table, f.type, d, depth));
    return out;
}

void encodeRanked(const TypeTable &table, const FieldDef &f, const Decoded &v, Encoder &e, int depth)
{
    if (f.valueRank < 0) {
        if (v.kind == Decoded::Kind::Array)
            wrong(QStringLiteral("%1: un elenco dove va un valore").arg(f.name));
        return encodeType(table, f.type, v, e, depth);
    }
    if (v.kind != Decoded::Kind::Array)
        wrong(QStringLiteral("%1: un valore dove va un elenco").arg(f.name));
    if (f.valueRank > 1) {
        int64_t count = 1;
        for (int32_t n : v.dimensions)
            count *= n;
        if (static_cast<int>(v.dimensions.size()) != f.valueRank || count != static_cast<int64_t>(v.items.size()))
            wrong(QStringLiteral("%1: le dimensioni non sono quelle della matrice").arg(f.name));
        e.array(v.dimensions, [](Encoder &x, int32_t n) { x.int32(n); });
    } else {
        e.int32(static_cast<int32_t>(v.items.size()));
    }
    for (const Decoded &item : v.items)
        encodeType(table, f.type, item, e, depth);
}

// Bits a dictionary reserves to fill a byte: not shown, written as zero.
bool isPadding(const FieldDef &f) { return f.bits > 0 && f.name.startsWith(QLatin1String("Reserved")); }

Decoded decodeDictionaryFields(const TypeTable &table, const TypeDef &t, Decoder &d, int depth, Decoded out)
{
    std::vector<std::optional<int64_t>> numbers(t.fields.size());
    std::vector<bool> derived(t.fields.size(), false);
    for (size_t i = 0; i < t.fields.size(); ++i) {
        const FieldDef &f = t.fields[i];
        if (f.lengthField >= 0)
            derived[static_cast<size_t>(f.lengthField)] = true;
        if (f.switchField >= 0)
            derived[static_cast<size_t>(f.switchField)] = true;
        if (isPadding(f))
            derived[i] = true;
    }
    Bits bits(d);
    for (size_t i = 0; i < t.fields.size(); ++i) {
        const FieldDef &f = t.fields[i];
        if (f.switchField >= 0) {
            const int64_t on = numbers[static_cast<size_t>(f.switchField)].value_or(0);
            if (f.switchValue < 0 ? on == 0 : on != f.switchValue)
                continue;
        }
        Decoded value;
        if (f.bits > 0) {
            const uint64_t n = bits.read(f.bits);
            numbers[i] = static_cast<int64_t>(n);
            value = f.bits == 1 ? scalarOf(BuiltIn::Boolean, n != 0) : scalarOf(BuiltIn::UInt32, static_cast<uint32_t>(n));
        } else {
            bits.align();
            if (f.lengthField >= 0 || f.fixedLength >= 0) {
                const int64_t n = f.fixedLength >= 0 ? f.fixedLength
                                                     : std::max<int64_t>(numbers[static_cast<size_t>(f.lengthField)].value_or(0), 0);
                if (n > d.remaining())
                    throw DecodeError("elenco più lungo del corpo");
                value.kind = Decoded::Kind::Array;
                d.charge(static_cast<qsizetype>(n) * static_cast<qsizetype>(sizeof(Decoded)));
                for (int64_t k = 0; k < n; ++k)
                    value.items.push_back(decodeType(table, f.type, d, depth));
            } else {
                value = decodeType(table, f.type, d, depth);
                numbers[i] = integerOf(value);
            }
        }
        if (!derived[i])
            out.fields.emplace_back(f.name, std::move(value));
    }
    return out;
}

void encodeDictionaryFields(const TypeTable &table, const TypeDef &t, const std::map<QString, const Decoded *> &given,
                            Encoder &e, int depth)
{
    // Counts and switches follow from the fields they govern.
    std::vector<std::optional<int64_t>> numbers(t.fields.size());
    for (const FieldDef &f : t.fields) {
        const auto it = given.find(f.name);
        if (f.lengthField >= 0)
            numbers[static_cast<size_t>(f.lengthField)] = it == given.end() ? 0 : static_cast<int64_t>(it->second->items.size());
        if (f.switchField >= 0 && it != given.end())
            numbers[static_cast<size_t>(f.switchField)] = f.switchValue < 0 ? 1 : f.switchValue;
        else if (f.switchField >= 0 && !numbers[static_cast<size_t>(f.switchField)])
            numbers[static_cast<size_t>(f.switchField)] = 0;
    }
    BitWriter bits(e);
    for (size_t i = 0; i < t.fields.size(); ++i) {
        const FieldDef &f = t.fields[i];
        const auto it = given.find(f.name);
        if (f.switchField >= 0) {
            const int64_t on = numbers[static_cast<size_t>(f.switchField)].value_or(0);
            if (f.switchValue < 0 ? on == 0 : on != f.switchValue)
                continue;
        }
        if (f.bits > 0) {
            uint64_t n = static_cast<uint64_t>(numbers[i].value_or(0));
            if (!numbers[i] && it != given.end()) {
                const auto v = integerOf(*it->second);
                if (!v && !(it->second->kind == Decoded::Kind::Scalar && std::holds_alternative<bool>(it->second->scalar)))
                    wrong(QStringLiteral("%1: non è un numero").arg(f.name));
                n = v ? static_cast<uint64_t>(*v) : std::get<bool>(it->second->scalar);
            }
            if (f.bits < 64 && n >> f.bits)
                wrong(QStringLiteral("%1: non sta in %2 bit").arg(f.name).arg(f.bits));
            bits.write(n, f.bits);
            continue;
        }
        bits.flush();
        if (numbers[i] && f.lengthField < 0) {
            // A count or a switch: written as its type holds it.
            const int n = f.type;
            Encoder &x = e;
            switch (table.at(n).builtIn) {
            case BuiltIn::SByte: case BuiltIn::Byte: x.byte(static_cast<uint8_t>(*numbers[i])); break;
            case BuiltIn::Int16: case BuiltIn::UInt16: x.uint16(static_cast<uint16_t>(*numbers[i])); break;
            case BuiltIn::Int64: case BuiltIn::UInt64: x.uint64(static_cast<uint64_t>(*numbers[i])); break;
            default: x.uint32(static_cast<uint32_t>(*numbers[i])); break;
            }
            continue;
        }
        if (it == given.end())
            wrong(QStringLiteral("manca il campo %1").arg(f.name));
        if (f.lengthField >= 0 || f.fixedLength >= 0) {
            if (it->second->kind != Decoded::Kind::Array)
                wrong(QStringLiteral("%1: un valore dove va un elenco").arg(f.name));
            if (f.fixedLength >= 0 && static_cast<int>(it->second->items.size()) != f.fixedLength)
                wrong(QStringLiteral("%1: servono %2 elementi").arg(f.name).arg(f.fixedLength));
            for (const Decoded &item : it->second->items)
                encodeType(table, f.type, item, e, depth);
        } else {
            encodeType(table, f.type, *it->second, e, depth);
        }
    }
    bits.flush();
}

} // namespace

// --- the table ---------------------------------------------------------------

TypeTable::TypeTable()
{
    for (int i = 0; i <= static_cast<int>(BuiltIn::DiagnosticInfo); ++i) {
        TypeDef def;
        def.name = QString::fromLatin1(BuiltInNames[i]);
        def.kind = i == 0 ? TypeKind::Unresolved : TypeKind::BuiltIn;
        def.builtIn = static_cast<BuiltIn>(i);
        def.reason = i == 0 ? QStringLiteral("nessun tipo") : QString();
        m_types.push_back(std::move(def));
    }
}

int TypeTable::add(TypeDef def)
{
    m_types.push_back(std::move(def));
    return size() - 1;
}

QString TypeTable::keyOf(const NodeId &id) const
{
    if (id.ns >= m_namespaces.size())
        return id.toString();
    NodeId local = id;
    local.ns = 0;
    return QStringLiteral("nsu=") + m_namespaces[id.ns] + QLatin1Char(';') + local.toString();
}

std::optional<NodeId> TypeTable::nodeIdOf(const QString &key) const
{
    if (!key.startsWith(QLatin1String("nsu=")))
        return NodeId::parse(key);
    const qsizetype semi = key.indexOf(QLatin1Char(';'));
    const QString uri = key.mid(4, semi - 4);
    const auto at = std::find(m_namespaces.begin(), m_namespaces.end(), uri);
    if (semi < 0 || at == m_namespaces.end())
        return std::nullopt;
    auto id = NodeId::parse(key.mid(semi + 1));
    if (id)
        id->ns = static_cast<uint16_t>(at - m_namespaces.begin());
    return id;
}

namespace {

uint64_t numericKey(const NodeId &id) { return (uint64_t{id.ns} << 32) | id.numeric; }

} // namespace

void TypeTable::setNamespaces(std::vector<QString> uris)
{
    m_namespaces = std::move(uris);
    m_byNumericEncoding.clear();
    for (const auto &[key, type] : m_byEncoding)
        if (const auto id = nodeIdOf(key); id && id->kind == NodeId::Kind::Numeric)
            m_byNumericEncoding[numericKey(*id)] = type;
}

void TypeTable::setEncoding(const QString &key, int type)
{
    m_byEncoding[key] = type;
    if (const auto id = nodeIdOf(key); id && id->kind == NodeId::Kind::Numeric)
        m_byNumericEncoding[numericKey(*id)] = type;
}

int TypeTable::byEncoding(const NodeId &encoding) const
{
    if (encoding.kind == NodeId::Kind::Numeric) {
        const auto it = m_byNumericEncoding.find(numericKey(encoding));
        return it == m_byNumericEncoding.end() ? -1 : it->second;
    }
    const auto it = m_byEncoding.find(keyOf(encoding));
    return it == m_byEncoding.end() ? -1 : it->second;
}

// --- decoding ------------------------------------------------------------------

Decoded decodeType(const TypeTable &table, int type, Decoder &d, int depth)
{
    if (depth > MaxStructureDepth)
        throw DecodeError("strutture annidate troppo a fondo");
    if (type < 0 || type >= table.size())
        throw DecodeError("nessun tipo");
    const TypeDef &t = table.at(type);
    switch (t.kind) {
    case TypeKind::Unresolved:
        throw DecodeError(t.reason.toStdString());
    case TypeKind::BuiltIn:
        if (t.builtIn == BuiltIn::Variant)
            return decodeVariant(table, d.variant(), d, depth + 1);
        if (t.builtIn == BuiltIn::ExtensionObject)
            return decodeExtension(table, d.extensionObject(), d, depth + 1);
        return scalarOf(t.builtIn, d.scalar(t.builtIn));
    case TypeKind::Enumeration: {
        Decoded out;
        out.kind = Decoded::Kind::Enumerant;
        out.type = type;
        const BuiltIn width = t.builtIn == BuiltIn::Null ? BuiltIn::Int32 : t.builtIn;
        out.number = width == BuiltIn::Byte ? d.byte() : width == BuiltIn::Int16 ? d.int16() : d.int32();
        return out;
    }
    default:
        break;
    }
    const Decoder::Depth nested(d);
    Decoded out;
    out.kind = Decoded::Kind::Structure;
    out.type = type;
    if (t.dictionaryLayout)
        return decodeDictionaryFields(table, t, d, depth + 1, std::move(out));
    if (t.kind == TypeKind::Union) {
        const uint32_t which = d.uint32();
        if (which > t.fields.size())
            throw DecodeError("scelta dell'unione senza campo");
        if (which > 0) {
            const FieldDef &f = t.fields[which - 1];
            out.fields.emplace_back(f.name, decodeRanked(table, f, d, depth + 1));
        }
        return out;
    }
    uint32_t mask = 0;
    int optionals = 0;
    if (t.kind == TypeKind::OptionalFields) {
        mask = d.uint32();
        optionals = static_cast<int>(std::count_if(t.fields.begin(), t.fields.end(), [](const FieldDef &f) { return f.optional; }));
        if (optionals < 32 && (mask >> optionals) != 0)
            throw DecodeError("bit della maschera senza campo");
    }
    int bit = 0;
    for (const FieldDef &f : t.fields) {
        if (t.kind == TypeKind::OptionalFields && f.optional && !(mask & (1u << bit++)))
            continue;
        out.fields.emplace_back(f.name, decodeRanked(table, f, d, depth + 1));
    }
    return out;
}

Decoded decodeExtension(const TypeTable &table, const ExtensionObject &x, Decoder &whole, int depth)
{
    if (x.encoding == 0 && x.typeId.isNull())
        return {};
    if (x.encoding != 1)
        return opaque(x, QStringLiteral("corpo non binario"));
    const int type = table.byEncoding(x.typeId);
    if (type < 0)
        return opaque(x, QStringLiteral("tipo sconosciuto"));
    if (table.at(type).kind == TypeKind::Unresolved)
        return opaque(x, table.at(type).reason);
    try {
        Decoder d(x.body, whole);
        Decoded out = decodeType(table, type, d, depth + 1);
        if (d.remaining() != 0)
            throw DecodeError("corpo più lungo della definizione");
        return out;
    } catch (const DecodeError &e) {
        return opaque(x, reasonOf(e));
    }
}

Decoded decodeVariant(const TypeTable &table, const Variant &value, Decoder &whole, int depth)
{
    if (value.isNull())
        return {};
    if (depth > MaxStructureDepth)
        throw DecodeError("strutture annidate troppo a fondo");
    const auto element = [&](const Scalar &s) -> Decoded {
        if (const auto *x = std::get_if<ExtensionObject>(&s))
            return decodeExtension(table, *x, whole, depth + 1);
        if (const auto *v = std::get_if<std::shared_ptr<Variant>>(&s))
            return *v ? decodeVariant(table, **v, whole, depth + 1) : Decoded{};
        return scalarOf(value.type, s);
    };
    if (!value.isArray)
        return value.values.empty() ? Decoded{} : element(value.values.front());
    Decoded out;
    out.kind = Decoded::Kind::Array;
    out.builtIn = value.type;
    if (value.dimensions.size() > 1)
        out.dimensions = value.dimensions;
    out.items.reserve(value.values.size());
    for (const Scalar &s : value.values)
        out.items.push_back(element(s));
    return out;
}

// --- encoding ------------------------------------------------------------------

void encodeType(const TypeTable &table, int type, const Decoded &value, Encoder &e, int depth)
{
    if (depth > MaxStructureDepth)
        wrong(QStringLiteral("strutture annidate troppo a fondo"));
    const TypeDef &t = table.at(type);
    switch (t.kind) {
    case TypeKind::Unresolved:
        wrong(t.reason);
    case TypeKind::BuiltIn:
        if (t.builtIn == BuiltIn::Variant)
            return e.variant(value.kind == Decoded::Kind::Null ? Variant{} : encodeVariant(table, value.type >= 0 ? value.type : table.builtIn(value.builtIn), value));
        if (t.builtIn == BuiltIn::ExtensionObject) {
            if (value.kind == Decoded::Kind::Null)
                return e.extensionObject({});
            if (value.kind == Decoded::Kind::Opaque)
                return e.extensionObject(value.opaque);
            if (value.kind != Decoded::Kind::Structure)
                wrong(QStringLiteral("una struttura dove va un valore"));
            return e.extensionObject(encodeExtension(table, value.type, value));
        }
        if (value.kind != Decoded::Kind::Scalar || value.builtIn != t.builtIn)
            wrong(QStringLiteral("un valore che non è %1").arg(t.name));
        return e.scalar(t.builtIn, value.scalar);
    case TypeKind::Enumeration: {
        const auto n = integerOf(value);
        if (!n)
            wrong(QStringLiteral("%1: non è un valore dell'enumerazione").arg(t.name));
        const BuiltIn width = t.builtIn == BuiltIn::Null ? BuiltIn::Int32 : t.builtIn;
        if (width == BuiltIn::Byte)
            e.byte(static_cast<uint8_t>(*n));
        else if (width == BuiltIn::Int16)
            e.int16(static_cast<int16_t>(*n));
        else
            e.int32(static_cast<int32_t>(*n));
        return;
    }
    default:
        break;
    }
    if (value.kind != Decoded::Kind::Structure)
        wrong(QStringLiteral("%1: non è una struttura").arg(t.name));
    std::map<QString, const Decoded *> given;
    for (const auto &entry : value.fields) {
        const QString &name = entry.first;
        const Decoded &field = entry.second;
        const bool known = std::any_of(t.fields.begin(), t.fields.end(), [&name](const FieldDef &f) { return f.name == name; });
        if (!known)
            wrong(QStringLiteral("%1 non ha il campo %2").arg(t.name, name));
        if (!given.emplace(name, &field).second)
            wrong(QStringLiteral("il campo %1 compare due volte").arg(name));
    }
    if (t.dictionaryLayout)
        return encodeDictionaryFields(table, t, given, e, depth + 1);
    if (t.kind == TypeKind::Union) {
        if (given.size() > 1)
            wrong(QStringLiteral("%1: una sola scelta").arg(t.name));
        for (size_t i = 0; i < t.fields.size(); ++i)
            if (given.count(t.fields[i].name)) {
                e.uint32(static_cast<uint32_t>(i + 1));
                return encodeRanked(table, t.fields[i], *given[t.fields[i].name], e, depth + 1);
            }
        return e.uint32(0);
    }
    if (t.kind == TypeKind::OptionalFields) {
        uint32_t mask = 0;
        int bit = 0;
        for (const FieldDef &f : t.fields)
            if (f.optional && given.count(f.name) && bit < 32)
                mask |= 1u << bit++;
            else if (f.optional)
                ++bit;
        e.uint32(mask);
    }
    for (const FieldDef &f : t.fields) {
        const auto it = given.find(f.name);
        if (it == given.end()) {
            if (t.kind == TypeKind::OptionalFields && f.optional)
                continue;
            wrong(QStringLiteral("manca il campo %1").arg(f.name));
        }
        encodeRanked(table, f, *it->second, e, depth + 1);
    }
}

ExtensionObject encodeExtension(const TypeTable &table, int type, const Decoded &value)
{
    const auto encoding = table.nodeIdOf(table.at(type).encoding);
    if (table.at(type).encoding.isEmpty() || !encoding)
        wrong(QStringLiteral("%1 non ha una codifica binaria").arg(table.at(type).name));
    Encoder e;
    encodeType(table, type, value, e);
    return ExtensionObject{*encoding, 1, e.take()};
}

Variant encodeVariant(const TypeTable &table, int type, const Decoded &value)
{
    const TypeDef &t = table.at(type);
    const auto one = [&](const Decoded &v) -> std::pair<BuiltIn, Scalar> {
        switch (t.kind) {
        case TypeKind::BuiltIn:
            if (t.builtIn == BuiltIn::ExtensionObject || t.builtIn == BuiltIn::Variant) {
                if (v.kind == Decoded::Kind::Structure)
                    return {BuiltIn::ExtensionObject, encodeExtension(table, v.type, v)};
                if (v.kind == Decoded::Kind::Opaque)
                    return {BuiltIn::ExtensionObject, v.opaque};
                if (v.kind == Decoded::Kind::Scalar)
                    return {v.builtIn, v.scalar};
                wrong(QStringLiteral("un valore senza tipo"));
            }
            if (v.kind != Decoded::Kind::Scalar || v.builtIn != t.builtIn)
                wrong(QStringLiteral("un valore che non è %1").arg(t.name));
            return {t.builtIn, v.scalar};
        case TypeKind::Enumeration: {
            const auto n = integerOf(v);
            if (!n)
                wrong(QStringLiteral("%1: non è un valore dell'enumerazione").arg(t.name));
            return {BuiltIn::Int32, static_cast<int32_t>(*n)};
        }
        default:
            return {BuiltIn::ExtensionObject, encodeExtension(table, type, v)};
        }
    };
    if (value.kind != Decoded::Kind::Array) {
        auto [b, s] = one(value);
        return Variant::scalar(b, std::move(s));
    }
    BuiltIn elementType = t.kind == TypeKind::BuiltIn ? t.builtIn : t.kind == TypeKind::Enumeration ? BuiltIn::Int32
                                                                                                    : BuiltIn::ExtensionObject;
    std::vector<Scalar> items;
    items.reserve(value.items.size());
    for (const Decoded &item : value.items) {
        auto [b, s] = one(item);
        if (elementType == BuiltIn::Variant || elementType == BuiltIn::Null)
            elementType = b;
        items.push_back(std::move(s));
    }
    Variant out = Variant::array(elementType, std::move(items));
    if (value.dimensions.size() > 1)
        out.dimensions = value.dimensions;
    return out;
}

} // namespace opc::ua
