// SPDX-License-Identifier: GPL-3.0-or-later
// Structured values by their definitions, in both forms a server gives
// them: the DataTypeDefinition and the OPC Binary dictionary (the peer's
// own types.bsd). The same bytes must read the same either way, and every
// body that does not fit spoils that value alone, with its reason.
#include "opc/ua/wire/dictionary.h"
#include "opc/ua/wire/typesystem.h"

#include <QFile>
#include <QTest>

using namespace opc::ua;

namespace {

QByteArray hex(const char *text) { return QByteArray::fromHex(QByteArray(text).replace(' ', "")); }

const QString TypesUri = QStringLiteral("urn:quorivo:types");

QString scalarText(const Scalar &s)
{
    return std::visit([](const auto &v) -> QString {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, bool>)
            return v ? QStringLiteral("true") : QStringLiteral("false");
        else if constexpr (std::is_integral_v<T> || std::is_floating_point_v<T>)
            return QString::number(v);
        else if constexpr (std::is_same_v<T, QString>)
            return QLatin1Char('"') + v + QLatin1Char('"');
        else
            return QStringLiteral("?");
    }, s);
}

// A compact form of a decoded tree, for comparing and for messages.
QString dump(const Decoded &d)
{
    switch (d.kind) {
    case Decoded::Kind::Null: return QStringLiteral("null");
    case Decoded::Kind::Scalar: return scalarText(d.scalar);
    case Decoded::Kind::Enumerant: return QStringLiteral("#%1").arg(d.number);
    case Decoded::Kind::Opaque: return QStringLiteral("!") + d.reason;
    case Decoded::Kind::Array: {
        QStringList items;
        for (const Decoded &i : d.items)
            items << dump(i);
        QStringList dims;
        for (int32_t n : d.dimensions)
            dims << QString::number(n);
        return (dims.isEmpty() ? QString() : dims.join(QLatin1Char('x'))) + QLatin1Char('[') + items.join(QLatin1Char(',')) + QLatin1Char(']');
    }
    case Decoded::Kind::Structure: {
        QStringList fields;
        for (const auto &[name, value] : d.fields)
            fields << name + QLatin1Char('=') + dump(value);
        return QLatin1Char('{') + fields.join(QLatin1Char(' ')) + QLatin1Char('}');
    }
    }
    return {};
}

FieldDef field(const char *name, int type, int32_t rank = -1, bool optional = false)
{
    FieldDef f;
    f.name = QString::fromLatin1(name);
    f.type = type;
    f.valueRank = rank;
    f.optional = optional;
    return f;
}

int structure(TypeTable &t, const char *name, TypeKind kind, std::vector<FieldDef> fields, int encoding, bool subtyped = false)
{
    TypeDef def;
    def.name = QString::fromLatin1(name);
    def.kind = kind;
    def.fields = std::move(fields);
    def.subtypedValues = subtyped;
    def.encoding = QStringLiteral("nsu=urn:quorivo:types;i=%1").arg(encoding);
    const int type = t.add(std::move(def));
    t.setEncoding(t.at(type).encoding, type);
    return type;
}

constexpr int I32 = int(BuiltIn::Int32), F64 = int(BuiltIn::Double), STR = int(BuiltIn::String), BOOL = int(BuiltIn::Boolean),
              U32 = int(BuiltIn::UInt32), EXT = int(BuiltIn::ExtensionObject);

// The peer's types as their DataTypeDefinitions give them.
TypeTable definitions()
{
    TypeTable t;
    t.setNamespaces({QStringLiteral("http://opcfoundation.org/UA/"), TypesUri});
    structure(t, "Point", TypeKind::Structure, {field("X", I32), field("Y", F64), field("Name", STR)}, 5001);
    const int inner = structure(t, "Inner", TypeKind::Structure, {field("A", I32), field("B", BOOL)}, 5002);
    structure(t, "Outer", TypeKind::Structure, {field("X", I32), field("Inner", inner), field("Values", F64, 1)}, 5003);
    structure(t, "OptionalRecord", TypeKind::OptionalFields,
              {field("Id", U32), field("Note", STR, -1, true), field("Level", F64, -1, true)}, 5004);
    structure(t, "Choice", TypeKind::Union, {field("Number", I32), field("Text", STR)}, 5005);
    structure(t, "Holder", TypeKind::Structure, {field("Anything", EXT, -1, true)}, 5009, true);
    structure(t, "Grid", TypeKind::Structure, {field("Cells", I32, 2)}, 5020);
    return t;
}

// The same types as the peer's dictionary gives them.
TypeTable dictionary(DictionaryTypes *types = nullptr)
{
    QFile file(QStringLiteral(QUORIVO_TYPES_BSD));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    TypeTable t;
    t.setNamespaces({QStringLiteral("http://opcfoundation.org/UA/"), TypesUri});
    const DictionaryTypes found = addDictionary(t, file.readAll());
    const auto encodes = [&t, &found](const char *name, int encoding) {
        const int type = found.byName.at(QString::fromLatin1(name));
        t.at(type).encoding = QStringLiteral("nsu=urn:quorivo:types;i=%1").arg(encoding);
        t.setEncoding(t.at(type).encoding, type);
    };
    int encoding = 5001;
    for (const char *name : {"Point", "Inner", "Outer", "OptionalRecord", "Choice"})
        encodes(name, encoding++);
    encodes("LegacyRecord", 5007);
    if (types)
        *types = found;
    return t;
}

ExtensionObject body(int encoding, const QByteArray &bytes) { return {NodeId::num(1, static_cast<uint32_t>(encoding)), 1, bytes}; }

QString decodeBody(const TypeTable &t, int encoding, const QByteArray &bytes)
{
    Decoder whole(QByteArray(16, '\0'));
    return dump(decodeExtension(t, body(encoding, bytes), whole));
}

} // namespace

class TestUaTypes : public QObject {
    Q_OBJECT

private slots:
    // Bodies as a server sends them, read by definition and by dictionary.
    void bothFormsReadTheSameBytes_data()
    {
        QTest::addColumn<int>("encoding");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expected");
        QTest::newRow("structure") << 5001 << hex("07000000 0000000000000440 03000000 616263") << "{X=7 Y=2.5 Name=\"abc\"}";
        QTest::newRow("nested, with a field array")
            << 5003 << hex("01000000 02000000 01 02000000 000000000000f83f 0000000000000440")
            << "{X=1 Inner={A=2 B=true} Values=[1.5,2.5]}";
        QTest::newRow("optional fields, the second given") << 5004 << hex("02000000 05000000 000000000000f83f")
                                                            << "{Id=5 Level=1.5}";
        QTest::newRow("optional fields, none given") << 5004 << hex("00000000 05000000") << "{Id=5}";
        QTest::newRow("union, the second choice") << 5005 << hex("02000000 02000000 6f6e") << "{Text=\"on\"}";
        QTest::newRow("union, no choice") << 5005 << hex("00000000") << "{}";
    }

    void bothFormsReadTheSameBytes()
    {
        QFETCH(int, encoding);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        const TypeTable byDefinition = definitions();
        const TypeTable byDictionary = dictionary();
        QCOMPARE(decodeBody(byDefinition, encoding, bytes), expected);
        QCOMPARE(decodeBody(byDictionary, encoding, bytes), expected);
        // And each writes back the bytes it read.
        for (const TypeTable *t : {&byDefinition, &byDictionary}) {
            Decoder whole(QByteArray(16, '\0'));
            const Decoded value = decodeExtension(*t, body(encoding, bytes), whole);
            QCOMPARE(encodeExtension(*t, value.type, value).body, bytes);
        }
    }

    // What the dictionary alone can say: bit fields, and arrays of a
    // fixed length (a vendor's date and time as Byte[8]).
    void theDictionarysOwnLayout()
    {
        const TypeTable t = dictionary();
        const QByteArray legacy = hex("0b 0c00 03000000 6f6c64");
        QCOMPARE(decodeBody(t, 5007, legacy), QStringLiteral("{Active=true Mode=5 Spare=0 Count=12 Label=\"old\"}"));
        Decoder whole(QByteArray(16, '\0'));
        const Decoded value = decodeExtension(t, body(5007, legacy), whole);
        QCOMPARE(encodeExtension(t, value.type, value).body, legacy);

        TypeTable vendor;
        const auto types = addDictionary(vendor, "<opc:TypeDictionary xmlns:opc=\"http://opcfoundation.org/BinarySchema/\"\n"
            "            xmlns:tns=\"urn:v\" TargetNamespace=\"urn:v\"><opc:StructuredType Name=\"Stamp\">\n"
            "            <opc:Field Name=\"Raw\" TypeName=\"opc:Byte\" Length=\"8\"/><opc:Field Name=\"Zone\" TypeName=\"opc:Int16\"/>\n"
            "            </opc:StructuredType></opc:TypeDictionary>");
        QVERIFY(types.error.isEmpty());
        vendor.setNamespaces({QStringLiteral("http://opcfoundation.org/UA/"), QStringLiteral("urn:v")});
        vendor.setEncoding(QStringLiteral("nsu=urn:v;i=1"), types.byName.at(QStringLiteral("Stamp")));
        QCOMPARE(decodeBody(vendor, 1, hex("0102030405060708 ffff")), QStringLiteral("{Raw=[1,2,3,4,5,6,7,8] Zone=-1}"));
    }

    // A structure with subtyped values holds any structure in its field;
    // a matrix field keeps its dimensions.
    void subtypesAndMatrices()
    {
        const TypeTable t = definitions();
        Encoder point;
        point.nodeId(NodeId::num(1, 5001));
        point.byte(1);
        point.int32(19);
        point.raw(hex("07000000 0000000000000440 03000000 616263"));
        QCOMPARE(decodeBody(t, 5009, point.bytes()), QStringLiteral("{Anything={X=7 Y=2.5 Name=\"abc\"}}"));
        const QByteArray grid = hex("02000000 02000000 03000000 01000000 02000000 03000000 04000000 05000000 06000000");
        QCOMPARE(decodeBody(t, 5020, grid), QStringLiteral("{Cells=2x3[1,2,3,4,5,6]}"));
        Decoder whole(QByteArray(16, '\0'));
        const Decoded value = decodeExtension(t, body(5020, grid), whole);
        QCOMPARE(encodeExtension(t, value.type, value).body, grid);
    }

    // Bodies that do not fit: each shows why, and only that value suffers.
    void bodiesThatDoNotFit_data()
    {
        QTest::addColumn<int>("encoding");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("reason");
        QTest::newRow("shorter than its definition") << 5001 << hex("07000000 00000000") << "corpo più corto della definizione";
        QTest::newRow("longer than its definition") << 5002 << hex("02000000 01 ff") << "corpo più lungo della definizione";
        QTest::newRow("an unknown union switch") << 5005 << hex("03000000 00000000") << "scelta dell'unione senza campo";
        QTest::newRow("mask bits with no field") << 5004 << hex("04000000 05000000") << "bit della maschera senza campo";
        QTest::newRow("an encoding nobody knows") << 5999 << hex("00") << "tipo sconosciuto";
        QTest::newRow("a field array longer than the body") << 5003 << hex("01000000 02000000 01 ffffff7f") << "corpo più corto della definizione";
    }

    void bodiesThatDoNotFit()
    {
        QFETCH(int, encoding);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, reason);
        QCOMPARE(decodeBody(definitions(), encoding, bytes), QLatin1Char('!') + reason);
    }

    // Types a server may get wrong or make hostile: one that holds itself
    // ends at the depth bound, more fields than the bound or a field named
    // twice leave the type unresolved, and a dictionary with a DTD (an
    // entity bomb) is not read at all.
    void hostileDefinitions()
    {
        TypeTable t;
        TypeDef loop;
        loop.name = QStringLiteral("Loop");
        loop.kind = TypeKind::Structure;
        loop.encoding = QStringLiteral("ns=1;i=1");
        const int self = t.add(loop);
        t.at(self).fields.push_back(field("Next", self));
        t.setEncoding(QStringLiteral("ns=1;i=1"), self);
        QCOMPARE(decodeBody(t, 1, hex("00")), QStringLiteral("!strutture annidate troppo a fondo"));

        QByteArray many = "<opc:TypeDictionary xmlns:opc=\"http://opcfoundation.org/BinarySchema/\" TargetNamespace=\"urn:m\">"
                          "<opc:StructuredType Name=\"Wide\">";
        for (int i = 0; i < MaxFieldsPerType + 1; ++i)
            many += "<opc:Field Name=\"F" + QByteArray::number(i) + "\" TypeName=\"opc:Byte\"/>";
        many += "</opc:StructuredType></opc:TypeDictionary>";
        TypeTable wide;
        const auto types = addDictionary(wide, many);
        QCOMPARE(wide.at(types.byName.at(QStringLiteral("Wide"))).kind, TypeKind::Unresolved);
        QCOMPARE(wide.at(types.byName.at(QStringLiteral("Wide"))).reason, QStringLiteral("troppi campi"));

        TypeTable bombed;
        const auto bomb = addDictionary(bombed, "<?xml version=\"1.0\"?><!DOCTYPE d [<!ENTITY a \"aaaaaaaaaa\">\n"
            "            <!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">]><opc:TypeDictionary xmlns:opc=\"http://opcfoundation.org/BinarySchema/\">\n"
            "            <opc:StructuredType Name=\"&b;\"/></opc:TypeDictionary>");
        QCOMPARE(bomb.error, QStringLiteral("il dizionario ha una DTD"));
        QVERIFY(bomb.byName.empty());

        // Found by the fuzzer: a field named twice, one of them a count.
        TypeTable twice;
        const auto repeated = addDictionary(twice, "<opc:TypeDictionary xmlns:opc=\"http://opcfoundation.org/BinarySchema/\"\n"
            "            TargetNamespace=\"urn:here\"><opc:StructuredType Name=\"T\"><opc:Field Name=\"N\" TypeName=\"opc:Byte\"/>\n"
            "            <opc:Field Name=\"N\" TypeName=\"opc:Int32\"/><opc:Field Name=\"V\" TypeName=\"opc:Double\" LengthField=\"N\"/>\n"
            "            </opc:StructuredType></opc:TypeDictionary>");
        QCOMPARE(twice.at(repeated.byName.at(QStringLiteral("T"))).kind, TypeKind::Unresolved);
        QCOMPARE(twice.at(repeated.byName.at(QStringLiteral("T"))).reason, QStringLiteral("N: campo ripetuto"));
        // ...a type defined twice, and a count that is no number.
        const auto defined = addDictionary(twice, "<opc:TypeDictionary xmlns:opc=\"http://opcfoundation.org/BinarySchema/\"\n"
            "            TargetNamespace=\"urn:here\"><opc:StructuredType Name=\"U\"><opc:Field Name=\"A\" TypeName=\"opc:Byte\"/>\n"
            "            </opc:StructuredType><opc:StructuredType Name=\"U\"><opc:Field Name=\"B\" TypeName=\"opc:Int32\"/>\n"
            "            </opc:StructuredType><opc:StructuredType Name=\"W\"><opc:Field Name=\"N\" TypeName=\"opc:Double\"/>\n"
            "            <opc:Field Name=\"V\" TypeName=\"opc:Byte\" LengthField=\"N\"/></opc:StructuredType></opc:TypeDictionary>");
        QCOMPARE(twice.at(defined.byName.at(QStringLiteral("U"))).reason, QStringLiteral("U: tipo ripetuto"));
        QCOMPARE(twice.at(defined.byName.at(QStringLiteral("W"))).reason, QStringLiteral("V: N non è un numero"));

        TypeTable foreign;
        const auto other = addDictionary(foreign, "<opc:TypeDictionary xmlns:opc=\"http://opcfoundation.org/BinarySchema/\"\n"
            "            xmlns:x=\"urn:elsewhere\" TargetNamespace=\"urn:here\"><opc:StructuredType Name=\"T\">\n"
            "            <opc:Field Name=\"F\" TypeName=\"x:Other\"/></opc:StructuredType></opc:TypeDictionary>");
        QCOMPARE(foreign.at(other.byName.at(QStringLiteral("T"))).reason, QStringLiteral("F: tipo Other di un altro dizionario"));
    }

    // A value that does not fit its definition is refused before any
    // byte is written, with the reason.
    void valuesRefusedBeforeSending_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("reason");
        QTest::newRow("a field missing") << "drop Y" << "manca il campo Y";
        QTest::newRow("a field the type has not") << "add Z" << "Point non ha il campo Z";
        QTest::newRow("a value of another type") << "text X" << "un valore che non è Int32";
    }

    void valuesRefusedBeforeSending()
    {
        QFETCH(QString, change);
        QFETCH(QString, reason);
        const TypeTable t = definitions();
        Decoder whole(QByteArray(16, '\0'));
        Decoded value = decodeExtension(t, body(5001, hex("07000000 0000000000000440 03000000 616263")), whole);
        if (change == QLatin1String("drop Y"))
            value.fields.erase(value.fields.begin() + 1);
        if (change == QLatin1String("add Z"))
            value.fields.emplace_back(QStringLiteral("Z"), value.fields[0].second);
        if (change == QLatin1String("text X"))
            value.fields[0].second = value.fields[2].second;
        try {
            encodeExtension(t, value.type, value);
            QFAIL("encoded");
        } catch (const EncodeError &e) {
            QCOMPARE(QString::fromUtf8(e.what()), reason);
        }
    }

    // Keys follow the namespace URI, whatever index a session gives it.
    void encodingsKeyedByNamespaceUri()
    {
        TypeTable t = definitions();
        const int point = t.byEncoding(NodeId::num(1, 5001));
        t.setNamespaces({QStringLiteral("http://opcfoundation.org/UA/"), QStringLiteral("urn:other"), TypesUri});
        QCOMPARE(t.byEncoding(NodeId::num(2, 5001)), point);
        QCOMPARE(t.byEncoding(NodeId::num(1, 5001)), -1);
        QCOMPARE(t.nodeIdOf(t.at(point).encoding), NodeId::num(2, 5001));
    }
};

QTEST_GUILESS_MAIN(TestUaTypes)
#include "tst_uatypes.moc"
