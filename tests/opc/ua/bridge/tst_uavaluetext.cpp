// SPDX-License-Identifier: GPL-3.0-or-later
// The one text form of the values no test server serves (diagnostics, a
// DataValue or a Variant inside a Variant, status codes by name and by
// number), each text-shaped type read back from what it shows, and the
// texts made only when a row shows them.
#include "opc/ua/bridge/conversions.h"

#include <QTest>

using namespace opc::ua;

Q_DECLARE_METATYPE(opc::ua::Variant)

namespace {

QString shown(const Variant &v)
{
    TypeTable table;
    Decoder budget{QByteArray()};
    return decodedText(table, decodeVariant(table, v, budget), QLocale::c());
}

// A text that counts how often it is made.
class Counted : public opc::DeferredText {
public:
    explicit Counted(int &made) : m_made(made) {}
    bool sameAs(const opc::DeferredText &other) const override { return &other == this; }

protected:
    QString make() const override
    {
        ++m_made;
        return QStringLiteral("made");
    }

private:
    int &m_made;
};

DateTime at(int hour) { return DateTime::fromMSecsSinceEpoch(QDateTime(QDate(2026, 5, 4), QTime(hour, 0), Qt::UTC).toMSecsSinceEpoch()); }

} // namespace

class TestUaValueText : public QObject {
    Q_OBJECT
private slots:
    void shownAs_data()
    {
        QTest::addColumn<Variant>("value");
        QTest::addColumn<QString>("text");
        auto inner = std::make_shared<DiagnosticInfo>();
        inner->innerStatusCode = StatusCode{0x80340000u};
        auto diagnostic = std::make_shared<DiagnosticInfo>();
        diagnostic->symbolicId = 3;
        diagnostic->localizedText = 1;
        diagnostic->additionalInfo = QStringLiteral("pump; stopped");
        diagnostic->inner = inner;
        QTest::newRow("diagnostics, nested") << Variant::scalar(BuiltIn::DiagnosticInfo, diagnostic)
                                             << "{SymbolicId=3; LocalizedText=1; AdditionalInfo=\"pump; stopped\"; "
                                                "InnerDiagnosticInfo={InnerStatusCode=BadNodeIdUnknown (0x80340000)}}";
        auto value = std::make_shared<DataValue>();
        value->value = Variant::scalar(BuiltIn::Double, 2.5);
        value->status = StatusCode{0x40000000u};
        value->sourceTimestamp = at(10);
        QTest::newRow("a DataValue") << Variant::scalar(BuiltIn::DataValue, value)
                                     << "{Value=2.5; StatusCode=Uncertain (0x40000000); SourceTimestamp="
                                            + opc::dateToText(QDateTime(QDate(2026, 5, 4), QTime(10, 0), Qt::UTC), QLocale::c()) + "}";
        QTest::newRow("a Variant in a Variant")
            << Variant::scalar(BuiltIn::Variant, std::make_shared<Variant>(Variant::array(BuiltIn::Int32, {int32_t(1), int32_t(2)})))
            << "{1;2}";
        QTest::newRow("a status code by its name") << Variant::scalar(BuiltIn::StatusCode, StatusCode{0x800A0000u})
                                                   << "BadTimeout (0x800A0000)";
        QTest::newRow("a status code no name is known for") << Variant::scalar(BuiltIn::StatusCode, StatusCode{0x81FF0000u})
                                                            << "Bad (0x81FF0000)";
        QTest::newRow("ExpandedNodeId, another server's")
            << Variant::scalar(BuiltIn::ExpandedNodeId, ExpandedNodeId{NodeId::str(0, QStringLiteral("Y")), QStringLiteral("urn:x"), 2})
            << "svr=2;nsu=urn:x;s=Y";
        QTest::newRow("XmlElement") << Variant::scalar(BuiltIn::XmlElement, XmlElement{ByteString::of("<a>1</a>")}) << "<a>1</a>";
        QTest::newRow("a matrix") << [] {
            Variant m = Variant::array(BuiltIn::Int16, {int16_t(1), int16_t(2), int16_t(3), int16_t(4), int16_t(5), int16_t(6)});
            m.dimensions = {3, 2};
            return m;
        }() << "{{1;2};{3;4};{5;6}}";
        QTest::newRow("a structure no table knows")
            << Variant::scalar(BuiltIn::ExtensionObject, ExtensionObject{NodeId::num(3, 5001), 1, QByteArray::fromHex("0700")})
            << "ns=3;i=5001 0x0700 (tipo sconosciuto)";
        QTest::newRow("an empty ExtensionObject") << Variant::scalar(BuiltIn::ExtensionObject, ExtensionObject{}) << QString();
    }

    void shownAs()
    {
        QFETCH(Variant, value);
        QFETCH(QString, text);
        QCOMPARE(shown(value), text);
    }

    // What the table shows of a text-shaped type is what writes it back.
    void readBackFromWhatIsShown_data()
    {
        QTest::addColumn<int>("builtIn");
        QTest::addColumn<QString>("text");
        const auto row = [](const char *name, BuiltIn b, const char *text) { QTest::newRow(name) << int(b) << QString::fromUtf8(text); };
        row("Guid", BuiltIn::Guid, "72962B91-FA75-4AE6-8D28-B404DC7DAF63");
        row("NodeId", BuiltIn::NodeId, "ns=4;g=72962B91-FA75-4AE6-8D28-B404DC7DAF63");
        row("ExpandedNodeId", BuiltIn::ExpandedNodeId, "svr=1;nsu=urn:plant;i=42");
        row("StatusCode", BuiltIn::StatusCode, "BadTimeout (0x800A0000)");
        row("QualifiedName", BuiltIn::QualifiedName, "3:Motor");
        row("LocalizedText", BuiltIn::LocalizedText, "Pompa è ferma");
        row("XmlElement", BuiltIn::XmlElement, "<v a=\"1\">x</v>");
    }

    void readBackFromWhatIsShown()
    {
        QFETCH(int, builtIn);
        QFETCH(QString, text);
        TypeTable table;
        const int type = TypeTable::builtIn(static_cast<BuiltIn>(builtIn));
        const Variant written = encodeVariant(table, type, parseText(table, type, -1, text, QLocale::c()));
        QCOMPARE(int(written.type), builtIn);
        QCOMPARE(shown(written), text);
    }

    // A structure's text waits for a row to show it; samples of the same
    // value are the same to the table without it, others are not.
    void textMadeWhenShown()
    {
        TypeTable table;
        TypeDef def;
        def.name = QStringLiteral("Pair");
        def.kind = TypeKind::Structure;
        def.fields = {{QStringLiteral("A"), TypeTable::builtIn(BuiltIn::Int32)}, {QStringLiteral("B"), TypeTable::builtIn(BuiltIn::Int32)}};
        const int type = table.add(def);
        table.setEncoding(QStringLiteral("ns=2;i=9"), type);
        const auto shared = std::make_shared<const TypeTable>(table);
        const auto sample = [&](int32_t a) {
            Encoder e;
            e.int32(a);
            e.int32(7);
            const ExtensionObject x{NodeId::num(2, 9), 1, e.take()};
            return opc::Value::deferredText(std::make_shared<const StructuredText>(shared, Variant::scalar(BuiltIn::ExtensionObject, x)));
        };
        const opc::Value first = sample(1), same = sample(1), other = sample(2);
        QCOMPARE(first.type(), uint16_t(opc::VT_BSTR));
        QVERIFY(first == same);
        QVERIFY(!(first == other));
        QCOMPARE(opc::valueToText(other, QLocale::c()), QStringLiteral("{A=2; B=7}"));
        QCOMPARE(first.string(), QStringLiteral("{A=1; B=7}"));
        int made = 0;
        const opc::Value a = opc::Value::deferredText(std::make_shared<const Counted>(made));
        const opc::Value b = opc::Value::deferredText(std::make_shared<const Counted>(made));
        const opc::Value copy = a;
        QVERIFY(a == copy);
        QVERIFY(!(a == b));
        QCOMPARE(made, 0);
        QCOMPARE(copy.string(), QStringLiteral("made"));
        QCOMPARE(a.string(), QStringLiteral("made"));
        QCOMPARE(made, 1); // once, for every copy
        // Against a text made at once: the texts decide.
        QVERIFY(first == opc::Value::text(QStringLiteral("{A=1; B=7}")));
        QVERIFY(!(other == opc::Value::text(QStringLiteral("{A=1; B=7}"))));
    }
};

QTEST_GUILESS_MAIN(TestUaValueText)
#include "tst_uavaluetext.moc"
