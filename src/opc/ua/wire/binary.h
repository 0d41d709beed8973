// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// OPC UA Binary: the built-in types and their encoding. Decoding checks every
// length against the bytes that remain, every nesting against a depth
// limit and every allocation against the message's budget, so hostile input
// ends in a DecodeError, never in a crash or an unbounded allocation.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <array>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <variant>
#include <vector>

namespace opc::ua {

class DecodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class BuiltIn : uint8_t {
    Null = 0,
    Boolean = 1,
    SByte,
    Byte,
    Int16,
    UInt16,
    Int32,
    UInt32,
    Int64,
    UInt64,
    Float,
    Double,
    String,
    DateTime,
    Guid,
    ByteString,
    XmlElement,
    NodeId,
    ExpandedNodeId,
    StatusCode,
    QualifiedName,
    LocalizedText,
    ExtensionObject,
    DataValue,
    Variant,
    DiagnosticInfo,
};

// 100-nanosecond intervals since 1601-01-01 UTC.
struct DateTime {
    int64_t ticks = 0;
    static DateTime fromMSecsSinceEpoch(int64_t ms);
    int64_t toMSecsSinceEpoch() const;
    bool operator==(const DateTime &) const = default;
};

struct Guid {
    std::array<uint8_t, 16> bytes{};
    bool operator==(const Guid &) const = default;
};

// A byte string keeps null (length -1) apart from empty.
struct ByteString {
    QByteArray data;
    bool isNull = true;
    static ByteString of(const QByteArray &bytes) { return {bytes, false}; }
    bool operator==(const ByteString &) const = default;
};

struct XmlElement {
    ByteString text;
    bool operator==(const XmlElement &) const = default;
};

struct StatusCode {
    uint32_t code = 0;
    bool isGood() const { return (code & 0xC0000000u) == 0; }
    bool isBad() const { return (code & 0x80000000u) != 0; }
    bool operator==(const StatusCode &) const = default;
};

struct NodeId {
    enum class Kind : uint8_t { Numeric, String, Guid, Opaque };
    uint16_t ns = 0;
    Kind kind = Kind::Numeric;
    uint32_t numeric = 0;
    QString string;     // Kind::String
    Guid guid;          // Kind::Guid
    ByteString opaque;  // Kind::Opaque

    static NodeId num(uint16_t ns, uint32_t id) { return {ns, Kind::Numeric, id, {}, {}, {}}; }
    static NodeId str(uint16_t ns, const QString &s) { return {ns, Kind::String, 0, s, {}, {}}; }
    bool isNull() const { return ns == 0 && kind == Kind::Numeric && numeric == 0; }
    // "i=85", "ns=2;s=Static_Scalar_Double", "ns=1;g=...", "ns=3;b=base64".
    QString toString() const;
    static std::optional<NodeId> parse(const QString &text);
    bool operator==(const NodeId &) const;
};

struct ExpandedNodeId {
    NodeId id;
    QString namespaceUri; // null when absent
    uint32_t serverIndex = 0;
    bool operator==(const ExpandedNodeId &) const = default;
};

struct QualifiedName {
    uint16_t ns = 0;
    QString name;
    bool operator==(const QualifiedName &) const = default;
};

struct LocalizedText {
    QString locale; // null when absent
    QString text;   // null when absent
    bool operator==(const LocalizedText &) const = default;
};

// A structure the codec does not know stays as its encoded body; the length
// lets the decoder skip it.
struct ExtensionObject {
    NodeId typeId;
    uint8_t encoding = 0; // 0 none, 1 binary, 2 XML
    QByteArray body;
    bool operator==(const ExtensionObject &) const = default;
};

struct DataValue;
struct Variant;
struct DiagnosticInfo;

using Scalar = std::variant<std::monostate, bool, int8_t, uint8_t, int16_t, uint16_t, int32_t, uint32_t, int64_t,
                            uint64_t, float, double, QString, DateTime, Guid, ByteString, XmlElement, NodeId,
                            ExpandedNodeId, StatusCode, QualifiedName, LocalizedText, ExtensionObject,
                            std::shared_ptr<DataValue>, std::shared_ptr<Variant>, std::shared_ptr<DiagnosticInfo>>;

struct Variant {
    BuiltIn type = BuiltIn::Null;
    bool isArray = false;
    std::vector<Scalar> values; // one for a scalar
    std::vector<int32_t> dimensions;

    static Variant scalar(BuiltIn type, Scalar value);
    static Variant array(BuiltIn type, std::vector<Scalar> values);
    bool isNull() const { return type == BuiltIn::Null; }
    // The value of a scalar of this C++ type; nothing for an array, an
    // empty variant or another type, whatever the server sent.
    template <typename T>
    const T *scalarAs() const
    {
        return isArray || values.empty() ? nullptr : std::get_if<T>(&values.front());
    }
    bool operator==(const Variant &) const;
};

struct DataValue {
    std::optional<Variant> value;
    std::optional<StatusCode> status;
    std::optional<DateTime> sourceTimestamp;
    std::optional<uint16_t> sourcePicoseconds;
    std::optional<DateTime> serverTimestamp;
    std::optional<uint16_t> serverPicoseconds;
    bool operator==(const DataValue &) const = default;
};

struct DiagnosticInfo {
    std::optional<int32_t> symbolicId;
    std::optional<int32_t> namespaceUri;
    std::optional<int32_t> localizedText;
    std::optional<int32_t> locale;
    std::optional<QString> additionalInfo;
    std::optional<StatusCode> innerStatusCode;
    std::shared_ptr<DiagnosticInfo> inner;
    bool operator==(const DiagnosticInfo &other) const;
};

class Encoder {
public:
    Encoder() = default;
    // Writes into this buffer from its start, keeping what it has reserved:
    // a caller that hands the same buffer back each time allocates nothing.
    explicit Encoder(QByteArray buffer) : m_out(std::move(buffer)) { m_out.resize(0); }
    void reserve(qsizetype bytes) { m_out.reserve(bytes); }

    void boolean(bool v) { byte(v ? 1 : 0); }
    void byte(uint8_t v) { m_out.append(static_cast<char>(v)); }
    void sbyte(int8_t v) { byte(static_cast<uint8_t>(v)); }
    void int16(int16_t v) { uint16(static_cast<uint16_t>(v)); }
    void uint16(uint16_t v);
    void int32(int32_t v) { uint32(static_cast<uint32_t>(v)); }
    void uint32(uint32_t v);
    void int64(int64_t v) { uint64(static_cast<uint64_t>(v)); }
    void uint64(uint64_t v);
    void float32(float v);
    void float64(double v);
    void string(const QString &v);
    void dateTime(DateTime v) { int64(v.ticks); }
    void guid(const Guid &v);
    void byteString(const ByteString &v);
    // A byte string from bytes that are not to be copied first (a secret).
    void byteStringOf(QByteArrayView v);
    void nodeId(const NodeId &v);
    void expandedNodeId(const ExpandedNodeId &v);
    void statusCode(StatusCode v) { uint32(v.code); }
    void qualifiedName(const QualifiedName &v);
    void localizedText(const LocalizedText &v);
    void extensionObject(const ExtensionObject &v);
    void variant(const Variant &v);
    void dataValue(const DataValue &v);
    void diagnosticInfo(const DiagnosticInfo &v);
    void raw(QByteArrayView bytes) { m_out.append(bytes); }

    // Arrays: a 32-bit count (-1 for a null array), then the elements.
    template <typename T, typename F>
    void array(const std::vector<T> &items, F each)
    {
        int32(static_cast<int32_t>(items.size()));
        for (const T &item : items)
            each(*this, item);
    }

    const QByteArray &bytes() const { return m_out; }
    QByteArray take() { return std::move(m_out); }
    qsizetype size() const { return m_out.size(); }
    void patchUInt32(qsizetype at, uint32_t v);

    // One value of a built-in type.
    void scalar(BuiltIn type, const Scalar &v);

private:
    QByteArray m_out;
};

// What decoding one message may cost in memory, whatever its bytes claim:
// DecodeCostPerByte bytes for each byte of the message, plus
// DecodeCostAllowance (BadEncodingLimitsExceeded past it, OPC 10000-6
// §5.2.2). An array is charged its element storage before it is reserved,
// and never reserved beyond what the remaining bytes can hold at the
// element's smallest encoding; a string is charged its UTF-16 copy, a byte
// string its copy, a nested value its node. Memory that runs out while a
// message is decoded is a DecodeError too, never std::bad_alloc.
constexpr qsizetype DecodeCostPerByte = 16;
constexpr qsizetype DecodeCostAllowance = qsizetype{32} << 20;

class Decoder {
public:
    static constexpr int MaxDepth = 32;
    static constexpr int32_t MaxArrayLength = 1 << 24;

    // A message of its own, with its own budget. Holds its own reference to
    // the bytes (implicitly shared, no copy), so a temporary array cannot go
    // from under it.
    explicit Decoder(QByteArray bytes);
    // A part of the message `whole` is decoding (an extension object's
    // body): it spends the whole message's budget.
    Decoder(QByteArray bytes, Decoder &whole);
    // A message under a budget tighter than its own (the fuzz target holds
    // decoding to it).
    Decoder(QByteArray bytes, qsizetype budget);
    Decoder(const Decoder &) = delete;
    Decoder &operator=(const Decoder &) = delete;

    bool boolean() { return byte() != 0; }
    uint8_t byte();
    int8_t sbyte() { return static_cast<int8_t>(byte()); }
    int16_t int16() { return static_cast<int16_t>(uint16()); }
    uint16_t uint16();
    int32_t int32() { return static_cast<int32_t>(uint32()); }
    uint32_t uint32();
    int64_t int64() { return static_cast<int64_t>(uint64()); }
    uint64_t uint64();
    float float32();
    double float64();
    QString string();
    DateTime dateTime() { return {int64()}; }
    Guid guid();
    ByteString byteString();
    NodeId nodeId();
    ExpandedNodeId expandedNodeId();
    StatusCode statusCode() { return {uint32()}; }
    QualifiedName qualifiedName();
    LocalizedText localizedText();
    ExtensionObject extensionObject();
    Variant variant();
    DataValue dataValue();
    DiagnosticInfo diagnosticInfo();

    // A count for an array whose elements take at least minElementSize
    // bytes each; -1 (null) reads as 0.
    int32_t arrayLength(int minElementSize = 1);
    template <typename F>
    auto array(F each, int minElementSize = 1) -> std::vector<decltype(each(*this))>
    {
        using T = decltype(each(*this));
        const int32_t n = arrayLength(minElementSize);
        std::vector<T> items;
        reserveCharged(items, n);
        for (int32_t i = 0; i < n; ++i)
            items.push_back(each(*this));
        return items;
    }

    // Memory the caller is about to take for this message: a DecodeError
    // once the message's budget is spent.
    void charge(qsizetype bytes);
    qsizetype budgetLeft() const { return *m_budget; }

    // One value of a built-in type.
    Scalar scalar(BuiltIn type);
    // One level deeper for as long as it lives; past MaxDepth a DecodeError.
    struct Depth {
        explicit Depth(Decoder &d);
        ~Depth() { --m_d.m_depth; }
        Decoder &m_d;
    };

    void skip(qsizetype n);
    qsizetype remaining() const { return m_size - m_pos; }
    qsizetype position() const { return m_pos; }
    QByteArray rest() const { return QByteArray(m_data + m_pos, m_size - m_pos); }

private:
    template <typename T>
    void reserveCharged(std::vector<T> &items, int32_t n)
    {
        charge(static_cast<qsizetype>(n) * static_cast<qsizetype>(sizeof(T)));
        try {
            items.reserve(static_cast<size_t>(n));
        } catch (const std::bad_alloc &) {
            outOfMemory();
        }
    }
    [[noreturn]] static void outOfMemory();
    const char *take(qsizetype n);
    template <typename T>
    std::shared_ptr<T> node(T value);

    QByteArray m_bytes;
    const char *m_data;
    qsizetype m_size;
    qsizetype m_pos = 0;
    int m_depth = 0;
    qsizetype m_ownBudget = 0;
    qsizetype *m_budget; // the whole message's
};

} // namespace opc::ua
