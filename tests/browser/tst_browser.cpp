// SPDX-License-Identifier: GPL-3.0-or-later
#include "browser/browserhandlers.h"
#include "support/faultserver.h"
#include "support/fixture.h"
#include "support/messages.h"

#include <QSet>
#include <QTest>

using quorivo::BrowserHandlers;
using quorivo::Form1;
using quorivo::Form1Probe;
using namespace testsupport;
namespace S = opc::Status;

namespace {
const QString Root = QStringLiteral("Quorivo.Simulation.1");
const QChar Sep = quorivo::KeySeparator;
QString key(std::initializer_list<const char *> path) { return simNodeKey(path); }

QStringList childKeys(Form1 &f, const QString &parent)
{
    QStringList keys;
    auto *model = f.TreeView1->nodes();
    const auto *node = model->find(parent);
    for (const auto *child : node->children)
        keys << child->key;
    return keys;
}

// Records the moves it is asked for; knows no address space.
class RecordingBrowser final : public OPCAutomation::OPCBrowser {
public:
    QStringList calls;
    void ShowBranches() override {}
    void ShowLeafs(bool) override {}
    int32_t Count() override { return 0; }
    QString Item(int32_t) override { return {}; }
    void MoveToRoot() override { calls << QStringLiteral("root"); }
    void MoveDown(const QString &b) override { calls << QStringLiteral("down ") + b; }
    void MoveUp() override {}
    QString GetItemID(const QString &leaf) override { return leaf; }
};
} // namespace

class TestBrowser : public QObject {
    Q_OBJECT

    Form1 &browsed()
    {
        Form1 &f = openMainWindow();
        connectToSimulation(f);
        click(f.Command1);
        return f;
    }

private slots:
    void cleanup() { closeAllWindows(); }

    void moveBrowserToPath_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QStringList>("calls");
        const QString s = QStringLiteral("Srv");
        QTest::newRow("root") << s << QStringList{"root"};
        QTest::newRow("top-level X") << s + Sep + "X" << QStringList{"root", "down X"};
        QTest::newRow("two levels down") << s + Sep + "A" + Sep + "B" << QStringList{"root", "down A", "down B"};
        QTest::newRow("single characters, deep") << s + Sep + "a" + Sep + "b" + Sep + "c" << QStringList{"root", "down a", "down b", "down c"};
        // The root's own characters are skipped, never compared.
        QTest::newRow("other root name") << QStringLiteral("Xyz") + Sep + "Q" << QStringList{"root", "down Q"};
    }

    void moveBrowserToPath()
    {
        QFETCH(QString, path);
        QFETCH(QStringList, calls);
        Form1 &f = openMainWindow();
        auto recorder = std::make_shared<RecordingBrowser>();
        Form1Probe(f).ConnectedServerBrowser() = recorder;
        Form1Probe(f).BrowseRootName() = QStringLiteral("Srv");
        BrowserHandlers::MoveBrowserToPath(f, path);
        QCOMPARE(recorder->calls, calls);
    }

    void browseBuildsTheRootOnce()
    {
        Form1 &f = browsed();
        QCOMPARE(f.TreeView1->Nodes().Count(), 2);
        QCOMPARE(childKeys(f, Root), QStringList{"nodovuoto 1"});
        QCOMPARE(f.TreeView1->Nodes().Item(Root)->Text(), Root);
        QCOMPARE(f.ListView1->ColumnHeaders().Count(), 1);
        QCOMPARE(f.ListView1->View(), 3);
        QVERIFY(!f.Command1->isEnabled());
        QCOMPARE(f.enableRow(), QStringLiteral("DDDEEDEEEDDDDD"));
        // A reconnection starts an empty tree and keeps one "Items" column.
        click(f.DisconnectFromServer);
        QCOMPARE(f.TreeView1->Nodes().Count(), 0);
        pickListRow(f.OPCServerList, 0);
        click(f.OPCServerConnect);
        QVERIFY(f.Command1->isEnabled());
        click(f.Command1);
        QCOMPARE(f.ListView1->ColumnHeaders().Count(), 1);
        QCOMPARE(f.TreeView1->Nodes().Count(), 2);
    }

    void openAndCloseWithPlaceholders()
    {
        MessageRecorder messages;
        Form1 &f = browsed();
        expandNode(f.TreeView1, Root);
        const QStringList top = childKeys(f, Root);
        QCOMPARE(top.first(), key({"Random"}));
        QVERIFY(top.contains(key({"Plant"})));
        QCOMPARE(Form1Probe(f).EmptyNodeCounter(), top.size());
        QCOMPARE(f.TreeView1->Nodes().Item(key({"Plant"}))->Text(), QStringLiteral("Plant"));
        QSet<QString> placeholders;
        for (const QString &k : top) {
            const QStringList under = childKeys(f, k);
            QCOMPARE(under.size(), 1);
            QVERIFY(under[0].startsWith(QLatin1String("nodovuoto ")));
            placeholders.insert(under[0]);
        }
        QCOMPARE(placeholders.size(), top.size());
        QVERIFY(placeholders.contains(QStringLiteral("nodovuoto 1")));

        expandNode(f.TreeView1, key({"Plant"}));
        QCOMPARE(childKeys(f, key({"Plant"})), QStringList{key({"Plant", "Area1"})});
        expandNode(f.TreeView1, key({"Plant", "Area1"}));
        expandNode(f.TreeView1, key({"Plant", "Area1", "Line1"}));
        QCOMPARE(childKeys(f, key({"Plant", "Area1", "Line1"})).size(), 3);
        collapseNode(f.TreeView1, key({"Plant"}));
        const QStringList left = childKeys(f, key({"Plant"}));
        QCOMPARE(left.size(), 1);
        QVERIFY(left[0].contains(QLatin1String("nodovuoto")));
        QVERIFY(!f.TreeView1->Nodes().Item(key({"Plant", "Area1", "Line1"})));
        // Opening again asks the server anew.
        expandNode(f.TreeView1, key({"Plant"}));
        QCOMPARE(childKeys(f, key({"Plant"})), QStringList{key({"Plant", "Area1"})});
        QVERIFY(messages.messages.empty());
    }

    void clickListsLeavesAndPickFindsTheRightItem()
    {
        MessageRecorder messages;
        Form1 &f = browsed();
        expandNode(f.TreeView1, Root);
        for (auto k : {key({"Plant"}), key({"Plant", "Area1"}), key({"Plant", "Area1", "Line1"})})
            expandNode(f.TreeView1, k);
        pickTreeNode(f.TreeView1, key({"Plant", "Area1", "Line1", "Tank1"}));
        QCOMPARE(listViewKeys(f.ListView1), (QStringList{"Item 1", "Item 2", "Item 3"}));
        QCOMPARE(listViewTexts(f.ListView1), (QStringList{"Level", "Temperature", "InletFlow"}));
        pickListViewRow(f.ListView1, 2);
        QCOMPARE(f.Text1->Text(), QStringLiteral("Plant.Area1.Line1.Tank1.Temperature"));
        // Opening elsewhere moves the browser; the old list still picks in its own branch.
        expandNode(f.TreeView1, key({"Random"}));
        pickListViewRow(f.ListView1, 1);
        QCOMPARE(f.Text1->Text(), QStringLiteral("Plant.Area1.Line1.Tank1.Level"));
        // A new click replaces the rows; keys start again at "Item 1".
        pickTreeNode(f.TreeView1, Root);
        QCOMPARE(listViewTexts(f.ListView1), (QStringList{"Heartbeat", "Counter"}));
        QCOMPARE(listViewKeys(f.ListView1).first(), QStringLiteral("Item 1"));
        pickListViewRow(f.ListView1, 2);
        QCOMPARE(f.Text1->Text(), QStringLiteral("Counter"));
        QVERIFY(messages.messages.empty());
    }

    void pickWithNoRowSelectedKeepsTheText()
    {
        Form1 &f = browsed();
        f.Text1->setText(QStringLiteral("kept"));
        emit f.ListView1->Click();
        QCOMPARE(f.Text1->Text(), QStringLiteral("kept"));
    }

    void clickWhileDisconnectedDoesNothing()
    {
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        emit f.TreeView1->Click();
        connectToSimulation(f);
        click(f.Command1);
        click(f.DisconnectFromServer);
        emit f.TreeView1->Click();
        QVERIFY(messages.messages.empty());
    }

    void noBrowserObject()
    {
        FaultyComponent component;
        component.plan->noBrowser = true;
        Form1 &f = openMainWindow();
        connectToSimulation(f);
        click(f.Command1);
        QCOMPARE(f.ListView1->ColumnHeaders().Count(), 1);
        QVERIFY(!f.Command1->isEnabled());
        QCOMPARE(f.TreeView1->Nodes().Count(), 0);
    }

    void failuresInTheTreeHandlersAreReported_data()
    {
        QTest::addColumn<QString>("failing");
        QTest::addColumn<QString>("gesture");
        QTest::newRow("CreateBrowser") << "OPCServer.CreateBrowser" << "browse";
        QTest::newRow("ServerName on open") << "OPCServer.ServerName" << "open";
        QTest::newRow("MoveToRoot on open") << "OPCBrowser.MoveToRoot" << "open";
        QTest::newRow("ShowBranches") << "OPCBrowser.ShowBranches" << "open";
        QTest::newRow("Item on open") << "OPCBrowser.Item" << "open";
        QTest::newRow("MoveDown on click") << "OPCBrowser.MoveDown:Plant" << "click";
        QTest::newRow("ShowLeafs") << "OPCBrowser.ShowLeafs" << "click";
    }

    void failuresInTheTreeHandlersAreReported()
    {
        QFETCH(QString, failing);
        QFETCH(QString, gesture);
        FaultyComponent component;
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        connectToSimulation(f);
        component.plan->code = S::RPC_S_SERVER_UNAVAILABLE;
        if (gesture == QLatin1String("browse")) {
            component.plan->failName = failing;
            click(f.Command1);
        } else {
            click(f.Command1);
            expandNode(f.TreeView1, Root);
            component.plan->failName = failing;
            // The name is counted from now on.
            component.plan->log.clear();
            if (gesture == QLatin1String("open"))
                expandNode(f.TreeView1, key({"Plant"}));
            else
                pickTreeNode(f.TreeView1, key({"Plant"}));
        }
        QCOMPARE(messages.messages.size(), size_t(1));
        QVERIFY(messages.messages[0].prompt.startsWith(QStringLiteral("La funzione OPC 'Espolora risorse'")));
        // Still running: the next gesture works.
        component.plan->failName.clear();
        pickTreeNode(f.TreeView1, Root);
        QVERIFY(f.isVisible());
    }

    void hugeBranchesShowEverythingWithUniqueKeys()
    {
        Form1 &f = browsed();
        expandNode(f.TreeView1, Root);
        expandNode(f.TreeView1, key({"Scale"}));
        expandNode(f.TreeView1, key({"Scale", "Branches40000"}));
        const QString big = key({"Scale", "Branches40000"});
        QCOMPARE(f.TreeView1->Nodes().Item(big)->Children(), 40000);
        // 40,000 branches, each with its own placeholder, all keys distinct.
        QVERIFY(f.TreeView1->Nodes().Count() > 80000);
        QVERIFY(Form1Probe(f).EmptyNodeCounter() > 0);
        collapseNode(f.TreeView1, big);
        QCOMPARE(f.TreeView1->Nodes().Item(big)->Children(), 1);
        pickTreeNode(f.TreeView1, key({"Scale", "Leaves40000"}));
        QCOMPARE(f.ListView1->ListItems().Count(), 40000);
        QCOMPARE(f.ListView1->ListItems().Item(40000).Key(), QStringLiteral("Item 40000"));
        pickListViewRow(f.ListView1, 40000);
        QCOMPARE(f.Text1->Text(), QStringLiteral("Scale.Leaves40000.Leaf40000"));
    }

    void placeholderCounterWrapsAndSkipsKeysInUse()
    {
        Form1 &f = browsed();
        Form1Probe(f).EmptyNodeCounter() = 32766;
        const QString first = BrowserHandlers::nextPlaceholderKey(f);
        QCOMPARE(first, QStringLiteral("nodovuoto 32767"));
        // "nodovuoto 1" is the root's placeholder, still in the tree: skipped.
        QCOMPARE(BrowserHandlers::nextPlaceholderKey(f), QStringLiteral("nodovuoto 2"));
    }
};

QTEST_MAIN(TestBrowser)
#include "tst_browser.moc"
