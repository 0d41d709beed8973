// The whole operator road through the real windows, against an OPC UA server.
#include "browser/browserhandlers.h"
#include "connection/form2.h"
#include "items/form3.h"
#include "support/fixture.h"
#include "support/messages.h"
#include "uapeer.h"

#include <QTest>

using quorivo::Form1;
using quorivo::Form3;
using namespace testsupport;

class TestUaWindows : public QObject {
    Q_OBJECT
    UaPeer *m_peer = nullptr;

private slots:
    void initTestCase() { m_peer = new UaPeer; }
    void cleanupTestCase() { delete m_peer; }
    void init() { REQUIRE_PEER(*m_peer); }
    void cleanup() { closeAllWindows(); }

    void theWholeRoad()
    {
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        f.Text2->setText(m_peer->url());
        click(f.ListOPCServers);
        QCOMPARE(listBoxTexts(f.OPCServerList), QStringList{"urn:quorivo:peer"});
        pickListRow(f.OPCServerList, 0);
        click(f.OPCServerConnect);
        QCOMPARE(f.windowTitle(), QStringLiteral("Server Connesso"));

        // Browse down to a conformance variable and pick it.
        click(f.Command1);
        const QString root = QStringLiteral("urn:quorivo:peer");
        QString key = root;
        expandNode(f.TreeView1, key);
        for (const char *name : {"Simulation", "Static", "All Profiles", "Scalars"}) {
            key += quorivo::KeySeparator + QString::fromLatin1(name);
            QVERIFY2(f.TreeView1->nodes()->find(key), name);
            expandNode(f.TreeView1, key);
        }
        pickTreeNode(f.TreeView1, key);
        const QStringList leaves = listViewTexts(f.ListView1);
        const int row = static_cast<int>(leaves.indexOf(QStringLiteral("Double"))) + 1;
        QVERIFY(row > 0);
        pickListViewRow(f.ListView1, row);
        QCOMPARE(f.Text1->Text(), QStringLiteral("ns=2;s=Static_Scalar_Double"));

        // A group at 100 ms with that item, and the item table.
        addGroup(f, QStringLiteral("Gruppo1"), QStringLiteral("100"));
        selectGroup(f, QStringLiteral("Gruppo1"));
        click(f.Command2);
        QCOMPARE(listViewTexts(f.ListView2), QStringList{"ns=2;s=Static_Scalar_Double"});
        click(f.Command3);
        Form3 *form = Form3::existing();
        QVERIFY(form);
        QCOMPARE(form->Timer1->Interval(), 100);
        const auto cell = [form](int column) { return form->ListView1->ListItems().Item(1).SubItems(column); };
        QTRY_COMPARE_WITH_TIMEOUT(cell(3), QStringLiteral("192"), 8000);
        QCOMPARE(cell(2), QStringLiteral("5"));

        // Write from the table; the refresh shows it.
        pickListViewRow(form->ListView1, 1);
        form->Text1->setText(QStringLiteral("42.5"));
        click(form->Command2);
        QTRY_COMPARE_WITH_TIMEOUT(cell(1), QLocale().toString(42.5), 8000);

        // The server's status.
        click(f.Command6);
        auto *props = quorivo::Form2::existing();
        QVERIFY(props);
        QCOMPARE(props->values[6]->Caption(), QStringLiteral("QuorivoPeer, node-opcua"));

        click(f.DisconnectFromServer);
        QCOMPARE(f.windowTitle(), QStringLiteral("Disconnesso"));
        // Ticks after the disconnect go on quietly.
        QTest::qWait(300);
        QVERIFY(messages.messages.empty());
    }
};

QTEST_MAIN(TestUaWindows)
#include "tst_uawindows.moc"
