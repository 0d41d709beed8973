// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Structured values by their definitions: a table of data types (from a
// server's DataTypeDefinition attributes, OPC 10000-3 §5.8.3, or from its
// OPC Binary dictionary, OPC 10000-5 Annex D), and the codec that turns an
// ExtensionObject's body into a tree of named fields and back (OPC 10000-6
// §5.2.7). The table is data: no type is laid out in memory or generated.

#include "opc/ua/wire/binary.h"

#include <map>
#include <unordered_map>
#include <vector>

namespace opc::ua {

struct FieldDef {
    QString name;
    int type = 0;            // its type in the table
    int32_t valueRank = -1;  // -1 a scalar, 1 an array, n > 1 a matrix of n dimensions
    // Optional fields: a bit of the mask of its own. Structures and unions
    // with subtyped values: any subtype, as an ExtensionObject.
    bool optional = false;
    // The dictionary's layout: the earlier field that counts this array,
    // the earlier field (a bit, or a number with switchValue) that says
    // whether it is there, and bit fields.
    int lengthField = -1;
    int switchField = -1;
    int64_t switchValue = -1; // -1: present when the switch is not zero
    int bits = 0;
    int fixedLength = -1;     // an array of exactly so many (a vendor's Byte[8])
};

enum class TypeKind : uint8_t {
    BuiltIn,        // a built-in type, or what stands on one (aliases, OptionSets)
    Structure,
    OptionalFields, // a structure with optional fields: a UInt32 mask first
    Union,          // a UInt32 switch first, 0 for none
    Enumeration,    // an Int32 with names
    Unresolved,
};

struct TypeDef {
    QString name;
    TypeKind kind = TypeKind::Unresolved;
    BuiltIn builtIn = BuiltIn::Null; // BuiltIn: which one
    bool subtypedValues = false;
    bool dictionaryLayout = false;   // fields as the dictionary lays them out
    std::vector<FieldDef> fields;
    std::vector<std::pair<int64_t, QString>> enumerants;
    QString encoding;                // its binary encoding, "nsu=<uri>;<id>"
    QString reason;                  // why it is unresolved
};

// The data types of one session. The built-in types stand at their own
// numbers (1 Boolean ... 25 DiagnosticInfo); the server's come after.
// Encodings are keyed by namespace URI, never by a session's index.
class TypeTable {
public:
    TypeTable();
    int add(TypeDef def);
    const TypeDef &at(int type) const { return m_types.at(static_cast<size_t>(type)); }
    TypeDef &at(int type) { return m_types.at(static_cast<size_t>(type)); }
    int size() const { return static_cast<int>(m_types.size()); }
    static int builtIn(BuiltIn type) { return static_cast<int>(type); }

    void setNamespaces(std::vector<QString> uris);
    const std::vector<QString> &namespaces() const { return m_namespaces; }
    // "nsu=<uri>;i=5001" for a node id of the session; its text form when
    // the index names no namespace.
    QString keyOf(const NodeId &id) const;
    // The node id of a key in the session's indexes; nothing when its
    // namespace is not the session's.
    std::optional<NodeId> nodeIdOf(const QString &key) const;

    void setEncoding(const QString &key, int type);
    // -1 for an encoding the table does not know.
    int byEncoding(const NodeId &encoding) const;

private:
    std::vector<TypeDef> m_types;
    std::vector<QString> m_namespaces;
    std::map<QString, int> m_byEncoding;
    // The same for numeric node ids in this session's indexes: every value
    // of a structure asks it, and needs no key text made.
    std::unordered_map<uint64_t, int> m_byNumericEncoding;
};

// A value decoded by its definition: a built-in scalar, an array or
// matrix, a structure's fields, an enumeration's value, or a body that
// could not be decoded with the reason why.
struct Decoded {
    enum class Kind : uint8_t { Null, Scalar, Array, Structure, Enumerant, Opaque };
    Kind kind = Kind::Null;
    BuiltIn builtIn = BuiltIn::Null;
    Scalar scalar;
    std::vector<Decoded> items;
    std::vector<int32_t> dimensions;              // a matrix's, outermost first
    std::vector<std::pair<QString, Decoded>> fields;
    int type = -1;                                // Structure, Enumerant: its type in the table
    int64_t number = 0;                           // Enumerant
    ExtensionObject opaque;                       // Opaque
    QString reason;                               // Opaque

    bool operator==(const Decoded &) const = default;
};

// The most a structure may nest inside another (ExtensionObjects within
// ExtensionObjects included).
constexpr int MaxStructureDepth = 32;

// The value of a Variant with its ExtensionObjects decoded where the table
// knows their encoding (an Opaque value where it does not, or where the
// body does not fit). Spends the budget of `whole`, the message or body the
// value came in; a body that does not fit its definition spoils that value
// alone.
Decoded decodeVariant(const TypeTable &table, const Variant &value, Decoder &whole, int depth = 0);
// One ExtensionObject.
Decoded decodeExtension(const TypeTable &table, const ExtensionObject &x, Decoder &whole, int depth = 0);
// A value of `type` read from the decoder (a structure's body, or a
// field of one).
Decoded decodeType(const TypeTable &table, int type, Decoder &d, int depth = 0);

// The body of a structure of `type` holding `value`; EncodeError when the
// value does not fit the definition (a field missing or unknown, a
// type that does not match, an array where a scalar goes).
class EncodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
void encodeType(const TypeTable &table, int type, const Decoded &value, Encoder &e, int depth = 0);
// A whole ExtensionObject of `type`, named by its binary encoding.
ExtensionObject encodeExtension(const TypeTable &table, int type, const Decoded &value);
// A Variant for the value: scalars and arrays of built-in types, matrices
// with their dimensions, ExtensionObjects for structures, Int32 for
// enumerations.
Variant encodeVariant(const TypeTable &table, int type, const Decoded &value);

} // namespace opc::ua
