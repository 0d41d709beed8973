// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/ua/wire/binary.h"

#include <QFile>
#include <QtEndian>

#include <QTest>
#include <functional>
#include <sys/resource.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORIVO_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QUORIVO_ASAN 1
#endif

using namespace opc::ua;

namespace {

QByteArray hex(const char *text) { return QByteArray::fromHex(QByteArray(text).replace(' ', "")); }

// A variant array of n elements of this type, each `element` bytes long.
QByteArray variantArray(BuiltIn type, int32_t n, const QByteArray &element)
{
    Encoder e;
    e.byte(static_cast<uint8_t>(0x80 | static_cast<uint8_t>(type)));
    e.int32(n);
    QByteArray out = e.take();
    out.reserve(out.size() + n * element.size());
    for (int32_t i = 0; i < n; ++i)
        out += element;
    return out;
}

QByteArray encoded(const std::function<void(Encoder &)> &write)
{
    Encoder e;
    write(e);
    return e.take();
}

Variant roundTrip(const Variant &v)
{
    Encoder e;
    e.variant(v);
    Decoder d(e.bytes());
    Variant back = d.variant();
    if (d.remaining() != 0)
        qFatal("bytes left over");
    return back;
}

Guid exampleGuid() { return NodeId::parse(QStringLiteral("g=72962B91-FA75-4AE6-8D28-B404DC7DAF63")).value().guid; }

DiagnosticInfo nestedDiagnostics()
{
    DiagnosticInfo innermost;
    innermost.symbolicId = 7;
    innermost.additionalInfo = QStringLiteral("deep");
    DiagnosticInfo middle;
    middle.localizedText = 2;
    middle.locale = 1;
    middle.innerStatusCode = StatusCode{0x80340000};
    middle.inner = std::make_shared<DiagnosticInfo>(innermost);
    DiagnosticInfo outer;
    outer.namespaceUri = 3;
    outer.inner = std::make_shared<DiagnosticInfo>(middle);
    return outer;
}

} // namespace

Q_DECLARE_METATYPE(std::function<void(Encoder &)>)
Q_DECLARE_METATYPE(opc::ua::Variant)

class TestUaBinary : public QObject {
    Q_OBJECT
private slots:
    void bytes_data()
    {
        using W = std::function<void(Encoder &)>;
        QTest::addColumn<W>("write");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("boolean") << W([](Encoder &e) { e.boolean(true); }) << hex("01");
        QTest::newRow("int32 -2") << W([](Encoder &e) { e.int32(-2); }) << hex("FEFFFFFF");
        QTest::newRow("uint16") << W([](Encoder &e) { e.uint16(0x1234); }) << hex("3412");
        QTest::newRow("double 1") << W([](Encoder &e) { e.float64(1.0); }) << hex("000000000000F03F");
        QTest::newRow("float -2") << W([](Encoder &e) { e.float32(-2.0f); }) << hex("000000C0");
        QTest::newRow("null string") << W([](Encoder &e) { e.string(QString()); }) << hex("FFFFFFFF");
        QTest::newRow("empty string") << W([](Encoder &e) { e.string(QStringLiteral("")); }) << hex("00000000");
        QTest::newRow("utf-8 string") << W([](Encoder &e) { e.string(QStringLiteral("Hot水")); })
                                      << hex("06000000 486F74E6B0B4");
        QTest::newRow("null byte string") << W([](Encoder &e) { e.byteString({}); }) << hex("FFFFFFFF");
        QTest::newRow("empty byte string") << W([](Encoder &e) { e.byteString(ByteString::of({})); }) << hex("00000000");
        QTest::newRow("guid") << W([](Encoder &e) { e.guid(exampleGuid()); }) << hex("912B9672 75FA E64A 8D28B404DC7DAF63");
        QTest::newRow("date 1601") << W([](Encoder &e) { e.dateTime(DateTime::fromMSecsSinceEpoch(-11644473600000)); })
                                   << hex("0000000000000000");
        QTest::newRow("node id, two bytes") << W([](Encoder &e) { e.nodeId(NodeId::num(0, 72)); }) << hex("0048");
        QTest::newRow("node id, four bytes") << W([](Encoder &e) { e.nodeId(NodeId::num(5, 1025)); }) << hex("01050104");
        QTest::newRow("node id, numeric") << W([](Encoder &e) { e.nodeId(NodeId::num(2, 70000)); })
                                          << hex("02 0200 70110100");
        QTest::newRow("node id, string") << W([](Encoder &e) { e.nodeId(NodeId::str(1, QStringLiteral("Hot水"))); })
                                         << hex("03 0100 06000000 486F74E6B0B4");
        QTest::newRow("expanded node id with uri") << W([](Encoder &e) {
            e.expandedNodeId({NodeId::num(0, 1), QStringLiteral("u"), 0});
        }) << hex("80 01 01000000 75");
        QTest::newRow("expanded node id with server") << W([](Encoder &e) {
            e.expandedNodeId({NodeId::num(0, 1), QString(), 2});
        }) << hex("40 01 02000000");
        QTest::newRow("localized text, text only") << W([](Encoder &e) {
            e.localizedText({QString(), QStringLiteral("A")});
        }) << hex("02 01000000 41");
        QTest::newRow("localized text, empty") << W([](Encoder &e) { e.localizedText({}); }) << hex("00");
        QTest::newRow("qualified name") << W([](Encoder &e) { e.qualifiedName({2, QStringLiteral("B")}); })
                                        << hex("0200 01000000 42");
        QTest::newRow("null variant") << W([](Encoder &e) { e.variant({}); }) << hex("00");
        QTest::newRow("variant int32") << W([](Encoder &e) { e.variant(Variant::scalar(BuiltIn::Int32, int32_t{5})); })
                                       << hex("06 05000000");
        QTest::newRow("variant byte array") << W([](Encoder &e) {
            e.variant(Variant::array(BuiltIn::Byte, {uint8_t{1}, uint8_t{2}}));
        }) << hex("83 02000000 01 02");
        QTest::newRow("variant empty array") << W([](Encoder &e) { e.variant(Variant::array(BuiltIn::Double, {})); })
                                             << hex("8B 00000000");
        QTest::newRow("variant matrix") << W([](Encoder &e) {
            Variant v = Variant::array(BuiltIn::Boolean, {true, false, true, false});
            v.dimensions = {2, 2};
            e.variant(v);
        }) << hex("C1 04000000 01000100 02000000 02000000 02000000");
        QTest::newRow("data value, value and status") << W([](Encoder &e) {
            DataValue v;
            v.value = Variant::scalar(BuiltIn::Boolean, true);
            v.status = StatusCode{0x80000000};
            e.dataValue(v);
        }) << hex("03 0101 00000080");
        QTest::newRow("data value, timestamps in order") << W([](Encoder &e) {
            DataValue v;
            v.sourceTimestamp = DateTime{1};
            v.sourcePicoseconds = 2;
            v.serverTimestamp = DateTime{3};
            v.serverPicoseconds = 4;
            e.dataValue(v);
        }) << hex("3C 0100000000000000 0200 0300000000000000 0400");
        QTest::newRow("nested diagnostic info") << W([](Encoder &e) { e.diagnosticInfo(nestedDiagnostics()); })
                                                << hex("42 03000000 6C 01000000 02000000 00003480 11 07000000 04000000 64656570");
        QTest::newRow("extension object, binary body") << W([](Encoder &e) {
            e.extensionObject({NodeId::num(0, 321), 1, hex("AABB")});
        }) << hex("01 00 4101 01 02000000 AABB");
    }

    void bytes()
    {
        QFETCH(std::function<void(Encoder &)>, write);
        QFETCH(QByteArray, expected);
        QCOMPARE(encoded(write).toHex(' '), expected.toHex(' '));
    }

    void everyBuiltInTypeRoundTrips_data()
    {
        QTest::addColumn<Variant>("value");
        const auto row = [](const char *name, Variant v) { QTest::newRow(name) << v; };
        row("boolean", Variant::scalar(BuiltIn::Boolean, true));
        row("sbyte", Variant::scalar(BuiltIn::SByte, int8_t{-128}));
        row("byte", Variant::scalar(BuiltIn::Byte, uint8_t{255}));
        row("int16", Variant::scalar(BuiltIn::Int16, int16_t{-32768}));
        row("uint16", Variant::scalar(BuiltIn::UInt16, uint16_t{65535}));
        row("int32", Variant::scalar(BuiltIn::Int32, int32_t{INT32_MIN}));
        row("uint32", Variant::scalar(BuiltIn::UInt32, uint32_t{UINT32_MAX}));
        row("int64", Variant::scalar(BuiltIn::Int64, int64_t{INT64_MIN}));
        row("uint64", Variant::scalar(BuiltIn::UInt64, uint64_t{UINT64_MAX}));
        row("float nan", Variant::scalar(BuiltIn::Float, std::numeric_limits<float>::quiet_NaN()));
        row("double", Variant::scalar(BuiltIn::Double, -1.5e300));
        row("null string", Variant::scalar(BuiltIn::String, QString()));
        row("empty string", Variant::scalar(BuiltIn::String, QStringLiteral("")));
        row("date", Variant::scalar(BuiltIn::DateTime, DateTime::fromMSecsSinceEpoch(1765000000000)));
        row("guid", Variant::scalar(BuiltIn::Guid, exampleGuid()));
        row("null byte string", Variant::scalar(BuiltIn::ByteString, ByteString{}));
        row("empty byte string", Variant::scalar(BuiltIn::ByteString, ByteString::of({})));
        row("xml", Variant::scalar(BuiltIn::XmlElement, XmlElement{ByteString::of("<a/>")}));
        row("opaque node id", Variant::scalar(BuiltIn::NodeId, *NodeId::parse(QStringLiteral("ns=3;b=AAEC"))));
        row("expanded node id", Variant::scalar(BuiltIn::ExpandedNodeId,
                                                ExpandedNodeId{NodeId::str(2, QStringLiteral("x")), QStringLiteral("urn:x"), 4}));
        row("status code", Variant::scalar(BuiltIn::StatusCode, StatusCode{0x80740000}));
        row("qualified name", Variant::scalar(BuiltIn::QualifiedName, QualifiedName{1, QStringLiteral("n")}));
        row("localized text", Variant::scalar(BuiltIn::LocalizedText, LocalizedText{QStringLiteral("it"), QStringLiteral("t")}));
        row("extension object", Variant::scalar(BuiltIn::ExtensionObject, ExtensionObject{NodeId::num(1, 5000), 1, "xyz"}));
        DataValue dv;
        dv.value = Variant::scalar(BuiltIn::Double, 2.5);
        dv.serverTimestamp = DateTime{99};
        row("data value", Variant::scalar(BuiltIn::DataValue, std::make_shared<DataValue>(dv)));
        row("diagnostic info", Variant::scalar(BuiltIn::DiagnosticInfo, std::make_shared<DiagnosticInfo>(nestedDiagnostics())));
        row("array of variants", Variant::array(BuiltIn::Variant, {std::make_shared<Variant>(Variant::scalar(BuiltIn::Int16, int16_t{3})),
                                                                  std::make_shared<Variant>()}));
        row("array of strings, null and empty", Variant::array(BuiltIn::String, {QString(), QStringLiteral(""), QStringLiteral("a")}));
    }

    void everyBuiltInTypeRoundTrips()
    {
        QFETCH(Variant, value);
        QVERIFY(roundTrip(value) == value);
    }

    void nullAndEmptyStayApart()
    {
        Decoder d(hex("FFFFFFFF 00000000"));
        const QString null = d.string(), empty = d.string();
        QVERIFY(null.isNull());
        QVERIFY(!empty.isNull());
        QVERIFY(empty.isEmpty());
        Decoder b(hex("FFFFFFFF 00000000"));
        QVERIFY(b.byteString().isNull);
        QVERIFY(!b.byteString().isNull);
    }

    void unknownExtensionObjectIsSkippedByItsLength()
    {
        // Two structures of a type nobody here knows, then an Int32.
        const QByteArray bytes = hex("96 02000000"
                                     "02 0900 39300000 01 03000000 010203"
                                     "02 0900 39300000 01 00000000"
                                     "2A000000");
        Decoder d(bytes);
        const Variant v = d.variant();
        QCOMPARE(v.values.size(), size_t(2));
        QCOMPARE(std::get<ExtensionObject>(v.values[0]).body, hex("010203"));
        QCOMPARE(std::get<ExtensionObject>(v.values[0]).typeId, NodeId::num(9, 12345));
        QCOMPARE(d.int32(), 42);
    }

    void everyTruncationFails()
    {
        DataValue dv;
        dv.value = Variant::array(BuiltIn::LocalizedText, {LocalizedText{QStringLiteral("en"), QStringLiteral("text")}});
        dv.status = StatusCode{0x40000000};
        dv.sourceTimestamp = DateTime{5};
        Encoder e;
        e.dataValue(dv);
        e.diagnosticInfo(nestedDiagnostics());
        const QByteArray whole = e.take();
        for (qsizetype n = 0; n < whole.size(); ++n) {
            Decoder d(whole.left(n));
            bool failed = false;
            try {
                d.dataValue();
                d.diagnosticInfo();
            } catch (const DecodeError &) {
                failed = true;
            }
            QVERIFY2(failed, qPrintable(QString::number(n)));
        }
        Decoder d(whole);
        QVERIFY(d.dataValue() == dv);
        QVERIFY(d.diagnosticInfo() == nestedDiagnostics());
    }

    void hostileLengthsFail_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("string longer than the message") << hex("0C FFFFFF7F 41");
        QTest::newRow("array longer than the message") << hex("86 FFFFFF7F 01000000");
        QTest::newRow("16M booleans in 5 bytes") << hex("81 00000001");
        QTest::newRow("dimensions that do not multiply") << hex("C3 02000000 0102 01000000 03000000");
        QTest::newRow("negative dimension") << hex("C3 00000000 01000000 FFFFFFFF");
        QTest::newRow("dimensions whose product overflows")
            << hex("C3 00000000 03000000 00001000 00001000 00005053");
        QTest::newRow("variant type 63") << hex("3F");
        QTest::newRow("variant holding a variant") << hex("18 06 01000000");
        QTest::newRow("node id encoding 9") << hex("11 09");
        QTest::newRow("extension object encoding 5") << hex("16 0000 05");
    }

    void hostileLengthsFail()
    {
        QFETCH(QByteArray, bytes);
        Decoder d(bytes);
        QVERIFY_THROWS_EXCEPTION(DecodeError, d.variant());
    }

    // What a message may cost: many elements whose decoded form is far
    // larger than their bytes fail, as decoding starts, instead of taking
    // gigabytes; their like within the budget decodes.
    void decodingCostsAtMostItsBudget_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("fits");
        QTest::newRow("16M booleans (16 MB)") << variantArray(BuiltIn::Boolean, 1 << 24, QByteArray(1, '\1')) << false;
        QTest::newRow("1M empty data values (1 MB)") << variantArray(BuiltIn::DataValue, 1 << 20, QByteArray(1, '\0')) << false;
        QTest::newRow("1M one-letter strings (5 MB)") << variantArray(BuiltIn::String, 1 << 20, hex("01000000 61")) << false;
        QTest::newRow("100k booleans") << variantArray(BuiltIn::Boolean, 100000, QByteArray(1, '\1')) << true;
        QTest::newRow("100k doubles") << variantArray(BuiltIn::Double, 100000, QByteArray(8, '\0')) << true;
    }

    void decodingCostsAtMostItsBudget()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, fits);
        Decoder d(bytes);
        if (fits) {
            QCOMPARE(qsizetype(d.variant().values.size()), qsizetype(qFromLittleEndian<qint32>(bytes.constData() + 1)));
            QVERIFY(d.budgetLeft() < DecodeCostAllowance + DecodeCostPerByte * bytes.size());
        } else {
            QVERIFY_THROWS_EXCEPTION(DecodeError, d.variant());
        }
    }

    void aPartSpendsTheWholeMessagesBudget()
    {
        const QByteArray body = variantArray(BuiltIn::Boolean, 100, QByteArray(1, '\1'));
        Decoder whole(body, qsizetype{100000});
        Decoder part(body, whole);
        part.variant();
        QVERIFY(whole.budgetLeft() <= 100000 - 100 * qsizetype(sizeof(Scalar)));
        Decoder poor(body, qsizetype{1000});
        Decoder poorPart(body, poor);
        QVERIFY_THROWS_EXCEPTION(DecodeError, poorPart.variant());
    }

    // Memory that runs out while a message within its budget is decoded
    // ends in a DecodeError, not in std::bad_alloc (which ends the program).
    void runningOutOfMemoryIsADecodeError()
    {
#ifdef QUORIVO_ASAN
        QSKIP("the address sanitizer's shadow memory cannot live under RLIMIT_AS");
#else
        const int32_t n = 2 << 20; // 2M doubles: 16 MB, within a budget of 288 MB
        const QByteArray bytes = variantArray(BuiltIn::Double, n, QByteArray(8, '\0'));
        QVERIFY(qsizetype(n) * qsizetype(sizeof(Scalar)) < DecodeCostAllowance + DecodeCostPerByte * bytes.size());
        QFile statm(QStringLiteral("/proc/self/statm"));
        QVERIFY(statm.open(QIODevice::ReadOnly));
        const qint64 pages = statm.readAll().split(' ').value(0).toLongLong();
        rlimit before{};
        getrlimit(RLIMIT_AS, &before);
        // Room for a hundred megabytes more, not for the 2M decoded elements.
        rlimit tight = before;
        tight.rlim_cur = static_cast<rlim_t>(pages * 4096 + (100 << 20));
        QCOMPARE(setrlimit(RLIMIT_AS, &tight), 0);
        bool decodeError = false;
        try {
            Decoder d(bytes);
            d.variant();
        } catch (const DecodeError &) {
            decodeError = true;
        } catch (const std::bad_alloc &) {
        }
        setrlimit(RLIMIT_AS, &before);
        QVERIFY(decodeError);
#endif
    }

    void deepNestingFails()
    {
        // Variants nested in one-element arrays, deeper than the limit.
        QByteArray bytes;
        for (int i = 0; i < 200; ++i)
            bytes += hex("98 01000000");
        bytes += hex("00");
        Decoder d(bytes);
        QVERIFY_THROWS_EXCEPTION(DecodeError, d.variant());
        QByteArray diagnostics(300, '\x40');
        diagnostics += '\0';
        Decoder dd(diagnostics);
        QVERIFY_THROWS_EXCEPTION(DecodeError, dd.diagnosticInfo());
    }

    void nodeIdText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("canonical");
        QTest::newRow("numeric") << "i=85" << true << "i=85";
        QTest::newRow("namespace zero written out") << "ns=0;i=85" << true << "i=85";
        QTest::newRow("string") << "ns=2;s=Static_Scalar_Double" << true << "ns=2;s=Static_Scalar_Double";
        QTest::newRow("string with ;=") << "ns=2;s=a;b=c" << true << "ns=2;s=a;b=c";
        QTest::newRow("guid") << "ns=1;g=72962b91-fa75-4ae6-8d28-b404dc7daf63" << true
                              << "ns=1;g=72962B91-FA75-4AE6-8D28-B404DC7DAF63";
        QTest::newRow("opaque") << "ns=3;b=AAEC" << true << "ns=3;b=AAEC";
        QTest::newRow("empty") << "" << false << "";
        QTest::newRow("no kind") << "ns=2;85" << false << "";
        QTest::newRow("namespace too big") << "ns=65536;i=1" << false << "";
        QTest::newRow("negative number") << "i=-1" << false << "";
        QTest::newRow("number too big") << "i=4294967296" << false << "";
        QTest::newRow("bad guid") << "g=1234" << false << "";
        QTest::newRow("bad base64") << "b=@@" << false << "";
        QTest::newRow("unknown kind") << "x=1" << false << "";
    }

    void nodeIdText()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(QString, canonical);
        const auto id = NodeId::parse(text);
        QCOMPARE(id.has_value(), valid);
        if (id)
            QCOMPARE(id->toString(), canonical);
    }

    void scalarAsTakesOnlyAScalarOfThatType()
    {
        // Whatever a server sends in place of a scalar gives nothing.
        QCOMPARE(*Variant::scalar(BuiltIn::UInt32, uint32_t{7}).scalarAs<uint32_t>(), 7u);
        QVERIFY(!Variant::scalar(BuiltIn::UInt32, uint32_t{7}).scalarAs<int32_t>());
        QVERIFY(!Variant::array(BuiltIn::UInt32, {uint32_t{7}}).scalarAs<uint32_t>());
        QVERIFY(!Variant::array(BuiltIn::UInt32, {}).scalarAs<uint32_t>());
        QVERIFY(!Variant{}.scalarAs<uint32_t>());
    }

    void datesConvert()
    {
        QCOMPARE(DateTime::fromMSecsSinceEpoch(0).ticks, 116444736000000000LL);
        QCOMPARE(DateTime{116444736000000000LL + 12340000}.toMSecsSinceEpoch(), 1234);
        // Before 1601 clamps to the earliest date instead of going negative.
        QCOMPARE(DateTime::fromMSecsSinceEpoch(-20000000000000).ticks, 0);
    }
};

QTEST_GUILESS_MAIN(TestUaBinary)
#include "tst_uabinary.moc"
