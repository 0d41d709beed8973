// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/ua/client/types.h"

#include <algorithm>

namespace opc::ua {

namespace {

constexpr uint32_t HasEncoding = 38, HasDescription = 39, HasProperty = 46, HasComponent = 47;
constexpr uint32_t DataTypeDefinitionAttribute = 23;
constexpr uint32_t StructureDefinitionEncoding = 122, EnumDefinitionEncoding = 123, EnumValueTypeEncoding = 8251;
constexpr uint32_t StructureType = 22, EnumerationType = 29;
constexpr size_t Batch = 500;

bool isNs0(const NodeId &id, uint32_t n) { return id.ns == 0 && id.kind == NodeId::Kind::Numeric && id.numeric == n; }

// The UInteger family an OptionSet stands on.
bool isUnsignedInteger(const NodeId &id)
{
    return id.ns == 0 && id.kind == NodeId::Kind::Numeric &&
           (id.numeric == 3 || id.numeric == 5 || id.numeric == 7 || id.numeric == 9 || id.numeric == 28 || id.numeric == 12755);
}

} // namespace

std::optional<BuiltIn> standardBuiltIn(const NodeId &id)
{
    if (id.ns != 0 || id.kind != NodeId::Kind::Numeric)
        return std::nullopt;
    const uint32_t n = id.numeric;
    if (n >= 1 && n <= 25)
        return static_cast<BuiltIn>(n); // Structure (22) is an ExtensionObject, BaseDataType (24) a Variant
    switch (n) {
    case 26: case 27: case 28: return BuiltIn::Variant; // Number, Integer, UInteger: any of them
    case 29: case 256: case 257: case 851: return BuiltIn::Int32;
    case 288: case 289: case 20998: return BuiltIn::UInt32;
    case 290: return BuiltIn::Double;
    case 291: case 292: case 295: case 12877: case 12878: case 12879: case 12880: case 12881: return BuiltIn::String;
    case 293: case 294: return BuiltIn::DateTime;
    case 30: case 311: case 2000: case 2001: case 2002: case 2003: return BuiltIn::ByteString;
    case 11737: return BuiltIn::UInt64;
    default: return std::nullopt;
    }
}

void TypeResolver::reset(std::vector<QString> namespaces)
{
    m_table = TypeTable();
    m_table.setNamespaces(std::move(namespaces));
    m_byKey.clear();
    m_unknownEncodings.clear();
    m_dictionaries.clear();
}

void TypeResolver::fail(int type, const QString &why)
{
    TypeDef &t = m_table.at(type);
    t.kind = TypeKind::Unresolved;
    t.reason = why;
}

int TypeResolver::place(const NodeId &dataType, std::vector<Pending> &next)
{
    const QString key = m_table.keyOf(dataType);
    if (const auto it = m_byKey.find(key); it != m_byKey.end())
        return it->second;
    if (const auto b = standardBuiltIn(dataType))
        return m_byKey[key] = TypeTable::builtIn(*b);
    TypeDef def;
    def.name = dataType.toString();
    def.reason = m_table.size() >= MaxTypes ? QStringLiteral("troppi tipi") : QStringLiteral("tipo non risolto");
    const int type = m_table.add(std::move(def));
    m_byKey[key] = type;
    if (m_table.size() <= MaxTypes)
        next.push_back({dataType, type});
    return type;
}

int TypeResolver::typeOf(const NodeId &dataType)
{
    std::vector<Pending> next;
    const int type = place(dataType, next);
    learn(std::move(next));
    return type;
}

int TypeResolver::typeOfEncoding(const NodeId &encoding)
{
    if (const int known = m_table.byEncoding(encoding); known >= 0)
        return known;
    const QString key = m_table.keyOf(encoding);
    if (m_unknownEncodings.count(key))
        return -1;
    // The DataType the encoding belongs to, and that type's definition.
    const auto owners = browse({encoding}, HasEncoding, true);
    if (!owners.empty() && !owners[0].empty() && owners[0][0].nodeId.serverIndex == 0) {
        const int type = typeOf(owners[0][0].nodeId.id);
        if (const int known = m_table.byEncoding(encoding); known >= 0)
            return known;
        // A DefaultEncodingId that names another node: the reference holds.
        if (m_table.at(type).kind != TypeKind::Unresolved && m_table.at(type).kind != TypeKind::BuiltIn) {
            m_table.setEncoding(key, type);
            if (m_table.at(type).encoding.isEmpty())
                m_table.at(type).encoding = key;
            return type;
        }
    }
    // No DataType to be found: the dictionary's description of it.
    fromDictionaries({{encoding, -1}});
    if (const int known = m_table.byEncoding(encoding); known >= 0)
        return known;
    m_unknownEncodings.insert(key);
    return -1;
}

void TypeResolver::learn(std::vector<Pending> pending)
{
    for (int level = 0; level < MaxLevels && !pending.empty(); ++level) {
        std::vector<Pending> next;
        learnLevel(pending, next);
        pending = std::move(next);
    }
    for (const Pending &p : pending)
        fail(p.type, QStringLiteral("tipo troppo profondo"));
    // Types that stand on another of the server's are that type.
    for (const auto &[type, base] : std::exchange(m_aliases, {})) {
        const QString name = m_table.at(type).name;
        m_table.at(type) = m_table.at(base);
        m_table.at(type).name = name;
    }
}

void TypeResolver::learnLevel(std::vector<Pending> &pending, std::vector<Pending> &next)
{
    std::vector<ReadValueId> ids;
    for (const Pending &p : pending) {
        ids.push_back({p.node, DataTypeDefinitionAttribute});
        ids.push_back({p.node, Attr::BrowseName});
    }
    const std::vector<DataValue> values = read(ids);
    std::vector<Pending> enumerations, undefined, needEncoding;
    for (size_t i = 0; i < pending.size(); ++i) {
        const Pending &p = pending[i];
        const DataValue *definition = 2 * i < values.size() ? &values[2 * i] : nullptr;
        if (2 * i + 1 < values.size() && values[2 * i + 1].value)
            if (const auto *name = values[2 * i + 1].value->scalarAs<QualifiedName>())
                m_table.at(p.type).name = name->name;
        const ExtensionObject *x = definition && definition->value ? definition->value->scalarAs<ExtensionObject>() : nullptr;
        if (!x || x->encoding != 1) {
            undefined.push_back(p);
            continue;
        }
        try {
            Decoder d(x->body);
            if (isNs0(x->typeId, EnumDefinitionEncoding)) {
                TypeDef &t = m_table.at(p.type);
                t.enumerants.clear();
                for (int32_t n = d.arrayLength(4), k = 0; k < n; ++k) {
                    const int64_t value = d.int64();
                    const LocalizedText display = d.localizedText();
                    d.localizedText();
                    const QString name = d.string();
                    t.enumerants.emplace_back(value, name.isEmpty() ? display.text : name);
                }
                enumerations.push_back(p);
                continue;
            }
            if (!isNs0(x->typeId, StructureDefinitionEncoding)) {
                undefined.push_back(p);
                continue;
            }
            const NodeId encoding = d.nodeId();
            d.nodeId(); // base type: its fields are repeated here
            const int32_t structureType = d.int32();
            std::vector<FieldDef> fields;
            for (int32_t n = d.arrayLength(4), k = 0; k < n; ++k) {
                FieldDef f;
                f.name = d.string();
                d.localizedText();
                const NodeId fieldType = d.nodeId();
                f.valueRank = d.int32();
                d.array([](Decoder &y) { return y.uint32(); }, 4);
                d.uint32();
                f.optional = d.boolean();
                f.type = place(fieldType, next);
                if (f.valueRank == 0 || f.valueRank < -1)
                    f.valueRank = f.valueRank == 0 ? 1 : -1;
                fields.push_back(std::move(f));
            }
            TypeDef &t = m_table.at(p.type);
            t.fields = std::move(fields);
            t.subtypedValues = structureType == 3 || structureType == 4;
            t.kind = structureType == 1 ? TypeKind::OptionalFields
                     : structureType == 2 || structureType == 4 ? TypeKind::Union
                                                                : TypeKind::Structure;
            t.reason.clear();
            if (structureType < 0 || structureType > 4)
                fail(p.type, QStringLiteral("tipo di struttura %1 sconosciuto").arg(structureType));
            // The same bounds as the dictionary's, and no name twice: a
            // value's fields are known by their names.
            if (t.fields.size() > size_t(MaxFieldsPerType))
                fail(p.type, QStringLiteral("troppi campi"));
            std::set<QString> names;
            for (const FieldDef &f : t.fields)
                if (!names.insert(f.name).second) {
                    fail(p.type, QStringLiteral("%1: campo ripetuto").arg(f.name));
                    break;
                }
            if (!encoding.isNull()) {
                t.encoding = m_table.keyOf(encoding);
                m_table.setEncoding(t.encoding, p.type);
            } else {
                needEncoding.push_back(p);
            }
        } catch (const DecodeError &) {
            fail(p.type, QStringLiteral("definizione illeggibile"));
        }
    }
    // Enumerations and OptionSets both have an EnumDefinition: the
    // supertype tells them apart.
    std::vector<Pending> supers = enumerations;
    supers.insert(supers.end(), undefined.begin(), undefined.end());
    if (!supers.empty()) {
        std::vector<NodeId> nodes;
        for (const Pending &p : supers)
            nodes.push_back(p.node);
        const auto up = browse(nodes, Id::HasSubtype, true);
        std::vector<Pending> named, structures;
        for (size_t i = 0; i < supers.size(); ++i) {
            const Pending &p = supers[i];
            const bool hasDefinition = i < enumerations.size();
            const NodeId super = i < up.size() && !up[i].empty() ? up[i][0].nodeId.id : NodeId{};
            TypeDef &t = m_table.at(p.type);
            if (isUnsignedInteger(super) || (!hasDefinition && super.ns == 0 && standardBuiltIn(super) &&
                                             !isNs0(super, EnumerationType) && !isNs0(super, StructureType))) {
                // An alias, or an OptionSet: the number it stands on.
                t.kind = TypeKind::BuiltIn;
                t.builtIn = standardBuiltIn(super) == BuiltIn::Variant ? BuiltIn::UInt32 : *standardBuiltIn(super);
                t.reason.clear();
            } else if (hasDefinition || isNs0(super, EnumerationType)) {
                t.kind = TypeKind::Enumeration;
                t.builtIn = BuiltIn::Int32;
                t.reason.clear();
                if (!hasDefinition)
                    named.push_back(p);
            } else if (isNs0(super, StructureType)) {
                structures.push_back(p);
            } else if (!super.isNull()) {
                // Stands on a type of the server's own: it is that type.
                const int base = place(super, next);
                m_aliases.emplace_back(p.type, base);
            } else {
                fail(p.type, QStringLiteral("tipo senza definizione"));
            }
        }
        enumerationNames(named);
        if (!structures.empty()) {
            std::vector<NodeId> nodes;
            for (const Pending &p : structures)
                nodes.push_back(p.node);
            const auto encodings = browse(nodes, HasEncoding, false);
            std::vector<std::pair<NodeId, int>> described;
            for (size_t i = 0; i < structures.size(); ++i) {
                fail(structures[i].type, QStringLiteral("né definizione né dizionario"));
                for (const ReferenceDescription &r : i < encodings.size() ? encodings[i] : std::vector<ReferenceDescription>{})
                    if (r.browseName.name == QLatin1String("Default Binary"))
                        described.emplace_back(r.nodeId.id, structures[i].type);
            }
            fromDictionaries(described);
        }
    }
    if (!needEncoding.empty()) {
        std::vector<NodeId> nodes;
        for (const Pending &p : needEncoding)
            nodes.push_back(p.node);
        const auto encodings = browse(nodes, HasEncoding, false);
        for (size_t i = 0; i < needEncoding.size() && i < encodings.size(); ++i)
            for (const ReferenceDescription &r : encodings[i])
                if (r.browseName.name == QLatin1String("Default Binary")) {
                    TypeDef &t = m_table.at(needEncoding[i].type);
                    t.encoding = m_table.keyOf(r.nodeId.id);
                    m_table.setEncoding(t.encoding, needEncoding[i].type);
                }
    }
}

// Enumerations without a definition name their values in EnumStrings or
// EnumValues (OPC 10000-3 §5.8.3).
void TypeResolver::enumerationNames(const std::vector<Pending> &items)
{
    if (items.empty())
        return;
    std::vector<NodeId> nodes;
    for (const Pending &p : items)
        nodes.push_back(p.node);
    const auto properties = browse(nodes, HasProperty, false);
    std::vector<ReadValueId> ids;
    std::vector<int> owners;
    for (size_t i = 0; i < items.size() && i < properties.size(); ++i)
        for (const ReferenceDescription &r : properties[i])
            if (r.browseName.name == QLatin1String("EnumStrings") || r.browseName.name == QLatin1String("EnumValues")) {
                ids.push_back({r.nodeId.id, Attr::Value});
                owners.push_back(items[i].type);
                break;
            }
    const auto values = read(ids);
    for (size_t i = 0; i < values.size() && i < owners.size(); ++i) {
        if (!values[i].value)
            continue;
        TypeDef &t = m_table.at(owners[i]);
        int64_t index = 0;
        for (const Scalar &s : values[i].value->values) {
            if (const auto *text = std::get_if<LocalizedText>(&s)) {
                t.enumerants.emplace_back(index++, text->text);
            } else if (const auto *x = std::get_if<ExtensionObject>(&s); x && isNs0(x->typeId, EnumValueTypeEncoding)) {
                try {
                    Decoder d(x->body);
                    const int64_t value = d.int64();
                    t.enumerants.emplace_back(value, d.localizedText().text);
                } catch (const DecodeError &) {
                }
            }
        }
    }
}

// Encoding -> HasDescription -> the description (its value: the type's name
// in the dictionary) -> the dictionary that holds it (its value: the XML).
void TypeResolver::fromDictionaries(const std::vector<std::pair<NodeId, int>> &encodings)
{
    if (encodings.empty())
        return;
    std::vector<NodeId> nodes;
    for (const auto &[encoding, type] : encodings)
        nodes.push_back(encoding);
    const auto descriptions = browse(nodes, HasDescription, false);
    std::vector<NodeId> described;
    std::vector<size_t> which;
    for (size_t i = 0; i < encodings.size() && i < descriptions.size(); ++i)
        if (!descriptions[i].empty()) {
            described.push_back(descriptions[i][0].nodeId.id);
            which.push_back(i);
        }
    if (described.empty())
        return;
    std::vector<ReadValueId> names;
    for (const NodeId &d : described)
        names.push_back({d, Attr::Value});
    const auto nameValues = read(names);
    const auto holders = browse(described, HasComponent, true);
    std::vector<ReadValueId> wanted;
    for (size_t i = 0; i < described.size() && i < holders.size(); ++i)
        if (!holders[i].empty() && !m_dictionaries.count(m_table.keyOf(holders[i][0].nodeId.id)) &&
            std::none_of(wanted.begin(), wanted.end(), [&](const ReadValueId &r) { return r.nodeId == holders[i][0].nodeId.id; }))
            wanted.push_back({holders[i][0].nodeId.id, Attr::Value});
    const auto texts = read(wanted);
    for (size_t i = 0; i < wanted.size(); ++i) {
        DictionaryTypes found;
        const ByteString *xml = i < texts.size() && texts[i].value ? texts[i].value->scalarAs<ByteString>() : nullptr;
        if (xml)
            found = addDictionary(m_table, xml->data);
        else
            found.error = QStringLiteral("dizionario illeggibile");
        m_dictionaries[m_table.keyOf(wanted[i].nodeId)] = std::move(found);
    }
    for (size_t k = 0; k < described.size(); ++k) {
        const auto &[encoding, placeholder] = encodings[which[k]];
        if (k >= holders.size() || holders[k].empty() || k >= nameValues.size() || !nameValues[k].value)
            continue;
        const QString *name = nameValues[k].value->scalarAs<QString>();
        const auto dictionary = m_dictionaries.find(m_table.keyOf(holders[k][0].nodeId.id));
        if (!name || dictionary == m_dictionaries.end())
            continue;
        const auto found = dictionary->second.byName.find(*name);
        if (found == dictionary->second.byName.end()) {
            if (placeholder >= 0)
                fail(placeholder, dictionary->second.error.isEmpty() ? QStringLiteral("%1 non è nel dizionario").arg(*name)
                                                                     : dictionary->second.error);
            continue;
        }
        int type = found->second;
        if (placeholder >= 0) {
            // The DataType's own place keeps what points to it.
            const QString ownName = m_table.at(placeholder).name;
            m_table.at(placeholder) = m_table.at(type);
            m_table.at(placeholder).name = ownName;
            type = placeholder;
        }
        m_table.at(type).encoding = m_table.keyOf(encoding);
        m_table.setEncoding(m_table.at(type).encoding, type);
    }
}

std::vector<std::vector<ReferenceDescription>> TypeResolver::browse(const std::vector<NodeId> &nodes, uint32_t referenceType,
                                                                    bool inverse, uint32_t nodeClassMask)
{
    std::vector<std::vector<ReferenceDescription>> out;
    for (size_t at = 0; at < nodes.size(); at += Batch) {
        std::vector<BrowseDescription> asked;
        for (size_t i = at; i < std::min(nodes.size(), at + Batch); ++i)
            asked.push_back({nodes[i], inverse, referenceType, true, nodeClassMask, 0x3F});
        ++m_roundTrips;
        const auto [error, message] = m_call(Id::BrowseRequest, [asked](Encoder &e) { encodeBrowse(e, 1000, asked); });
        std::vector<BrowseResult> results;
        if (!error)
            try {
                Decoder d(message);
                decodeResponseStart(d);
                results = d.array([](Decoder &x) { return decodeBrowseResult(x); });
            } catch (const DecodeError &) {
            }
        std::vector<ByteString> release;
        for (size_t i = 0; i < asked.size(); ++i) {
            out.push_back(i < results.size() ? results[i].references : std::vector<ReferenceDescription>{});
            if (i < results.size() && !results[i].continuationPoint.data.isEmpty())
                release.push_back(results[i].continuationPoint);
        }
        if (!release.empty()) {
            ++m_roundTrips;
            m_call(Id::BrowseNextRequest, [release](Encoder &e) {
                e.boolean(true);
                e.array(release, [](Encoder &x, const ByteString &b) { x.byteString(b); });
            });
        }
    }
    return out;
}

std::vector<DataValue> TypeResolver::read(const std::vector<ReadValueId> &ids)
{
    std::vector<DataValue> out;
    for (size_t at = 0; at < ids.size(); at += Batch) {
        const std::vector<ReadValueId> part(ids.begin() + static_cast<std::ptrdiff_t>(at),
                                            ids.begin() + static_cast<std::ptrdiff_t>(std::min(ids.size(), at + Batch)));
        ++m_roundTrips;
        const auto [error, message] = m_call(Id::ReadRequest, [part](Encoder &e) {
            e.float64(0);
            e.int32(2);
            e.array(part, [](Encoder &x, const ReadValueId &id) { encode(x, id); });
        });
        std::vector<DataValue> values;
        if (!error)
            try {
                Decoder d(message);
                decodeResponseStart(d);
                values = d.array([](Decoder &x) { return x.dataValue(); });
            } catch (const DecodeError &) {
            }
        values.resize(part.size());
        out.insert(out.end(), values.begin(), values.end());
    }
    return out;
}

} // namespace opc::ua
