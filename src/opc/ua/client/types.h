// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/ua/wire/dictionary.h"
#include "opc/ua/wire/services.h"

#include <functional>
#include <map>
#include <set>

namespace opc::ua {

// The data types of one session, learned as its values need them: from
// each DataType's DataTypeDefinition (OPC 10000-3 §5.8.3), and where a
// server has none (older PLCs), from its OPC Binary dictionary (OPC
// 10000-5 Annex D). Only the types asked for are learned, with what they
// need, level by level in batched Browse and Read calls; they are kept until
// the session or its namespace table changes. An ExtensionObject names its
// encoding, not its DataType: the DataType is found by the encoding's
// inverse HasEncoding reference, by the definitions' DefaultEncodingId, or
// through the dictionary's description of it.
class TypeResolver {
public:
    // One service call and its answer (error number, response message).
    using Call = std::function<std::pair<int32_t, QByteArray>(uint32_t typeId, std::function<void(Encoder &)> body)>;

    explicit TypeResolver(Call call) : m_call(std::move(call)) {}
    // A new session, or a new namespace table: everything is learned again.
    void reset(std::vector<QString> namespaces);
    const TypeTable &table() const { return m_table; }

    // The type values of this DataType have; an unresolved one says why.
    int typeOf(const NodeId &dataType);
    // The type an encoding stands for, -1 when it cannot be learned (then
    // not asked again this session).
    int typeOfEncoding(const NodeId &encoding);
    // The service calls made so far.
    int roundTrips() const { return m_roundTrips; }

    // Most types learned in one session, and the deepest a type may stand
    // on others.
    static constexpr int MaxTypes = 4096;
    static constexpr int MaxLevels = 16;

private:
    struct Pending {
        NodeId node;
        int type;
    };
    // The index of a DataType, made (unresolved, to be learned) when new.
    int place(const NodeId &dataType, std::vector<Pending> &next);
    void learn(std::vector<Pending> pending);
    void learnLevel(std::vector<Pending> &pending, std::vector<Pending> &next);
    // DataTypes without a definition: their supertypes, enumerations'
    // names, dictionaries.
    void withoutDefinition(const std::vector<Pending> &items, std::vector<Pending> &next);
    void enumerationNames(const std::vector<Pending> &items);
    void fromDictionaries(const std::vector<std::pair<NodeId, int>> &encodings);
    // Nodes these point to by one reference type, forward or inverse.
    std::vector<std::vector<ReferenceDescription>> browse(const std::vector<NodeId> &nodes, uint32_t referenceType,
                                                          bool inverse, uint32_t nodeClassMask = 0);
    std::vector<DataValue> read(const std::vector<ReadValueId> &ids);
    void fail(int type, const QString &why);

    Call m_call;
    TypeTable m_table;
    std::map<QString, int> m_byKey;                 // DataType key -> type
    std::set<QString> m_unknownEncodings;           // asked once, learned nothing
    std::map<QString, DictionaryTypes> m_dictionaries; // by the dictionary node's key
    std::vector<std::pair<int, int>> m_aliases;     // a type and the type of the server's it stands on
    int m_roundTrips = 0;
};

// The built-in type of a namespace-0 DataType the codec knows by number:
// the built-in ones, their common aliases (Duration, UtcTime, LocaleId...)
// and the abstract ones (as a Variant). Nothing for others.
std::optional<BuiltIn> standardBuiltIn(const NodeId &dataType);

} // namespace opc::ua
