// SPDX-License-Identifier: GPL-3.0-or-later
#include "groups/form4.h"
#include "opc/value.h"
#include "support/faultserver.h"
#include "support/fixture.h"
#include "support/messages.h"

#include <QTest>

using quorivo::Form1;
using quorivo::Form1Probe;
using quorivo::Form4;
using namespace testsupport;
namespace S = opc::Status;

namespace {

// Connected, one group added (at the design rate, 100) and selected, its
// rate window open.
Form1 &rateWindowOn(const QString &group)
{
    Form1 &f = openMainWindow();
    connectToSimulation(f);
    addGroup(f, group);
    selectGroup(f, group);
    click(f.Command8);
    return f;
}

int32_t rateOf(Form1 &f, const QString &name) { return f.ConnectedServerGroups->GetOPCGroup(name)->UpdateRate(); }
} // namespace

class TestGroups : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { closeAllWindows(); }

    void enableRows_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("row");
        QTest::newRow("connected") << QStringList{} << "DDDEEEEEEDDDDD";
        QTest::newRow("add, success") << QStringList{"add A"} << "DDDEEEEEEDDDDD";
        QTest::newRow("select, no items") << QStringList{"add A", "select A"} << "DDDEEEEEEEDEDE";
        QTest::newRow("select, items") << QStringList{"add A", "select A", "item", "select A"} << "DDDEEEEEEEEEEE";
        QTest::newRow("add, success after a selection") << QStringList{"add A", "select A", "item", "add B"}
                                                        << "DDDEEEEEEDEDED";
        QTest::newRow("add, failure after a selection") << QStringList{"add A", "select A", "item", "add A"}
                                                        << "DDDEEEEEEEEDED";
        QTest::newRow("remove, success") << QStringList{"add A", "select A", "item", "remove"} << "DDDEEEEEEDDDDD";
        QTest::newRow("remove with nothing selected") << QStringList{"add A", "add B", "remove"} << "DDDEEEEEEDDDDD";
    }

    void enableRows()
    {
        QFETCH(QStringList, steps);
        QFETCH(QString, row);
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        connectToSimulation(f);
        for (const QString &step : steps) {
            if (step.startsWith(QLatin1String("add ")))
                addGroup(f, step.mid(4));
            else if (step.startsWith(QLatin1String("select ")))
                selectGroup(f, step.mid(7));
            else if (step == QLatin1String("item"))
                addItem(f, QStringLiteral("Random.Int4"));
            else if (step == QLatin1String("remove"))
                f.Command4->click(); // disabled buttons ignore click() too
        }
        QCOMPARE(f.enableRow(), row);
    }

    void firstAddThenDuplicate()
    {
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        connectToSimulation(f);
        click(f.AddOPCGroup); // the design texts: "Gruppo1", "100"
        QCOMPARE(listBoxTexts(f.List2), QStringList{"Gruppo1"});
        QCOMPARE(rateOf(f, QStringLiteral("Gruppo1")), 100);
        QVERIFY(f.ConnectedServerGroups->GetOPCGroup(QStringLiteral("Gruppo1"))->IsSubscribed());
        QVERIFY(messages.messages.empty());
        selectGroup(f, QStringLiteral("Gruppo1"));
        auto first = Form1Probe(f).ConnectedGroup();
        click(f.AddOPCGroup);
        QCOMPARE(messages.messages.size(), size_t(1));
        QCOMPARE(messages.messages[0].prompt, reportText("Aggiungi gruppo", S::OPC_E_DUPLICATENAME));
        QCOMPARE(listBoxTexts(f.List2), QStringList{"Gruppo1"});
        QCOMPARE(f.List2->ListIndex(), -1);
        QVERIFY(!f.Command4->isEnabled() && !f.Command8->isEnabled());
        QCOMPARE(Form1Probe(f).ConnectedGroup(), first); // the failed add keeps it
    }

    void overflowingRateKeepsTheDefault()
    {
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        connectToSimulation(f);
        addGroup(f, QStringLiteral("G"), QStringLiteral("99999999999"));
        QCOMPARE(messages.messages.at(0).prompt, reportText("Aggiungi gruppo", 6));
        QCOMPARE(listBoxTexts(f.List2), QStringList{"G"});
        QCOMPARE(rateOf(f, QStringLiteral("G")), 1000);
        QCOMPARE(Form1Probe(f).ConnectedGroup()->Name(), QStringLiteral("G"));
    }

    void rateTextsReachTheServer_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("granted");
        QTest::newRow("abc gives 0, revised to the fastest") << "abc" << 10;
        QTest::newRow("250ms") << "250ms" << 250;
        QTest::newRow("2.5") << "2.5" << 10;
        QTest::newRow("1E3") << "1E3" << 1000;
        QTest::newRow("-50 as unsigned") << "-50" << 2147483647;
    }

    void rateTextsReachTheServer()
    {
        QFETCH(QString, text);
        QFETCH(int, granted);
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        connectToSimulation(f);
        addGroup(f, QStringLiteral("G"), text);
        QCOMPARE(rateOf(f, QStringLiteral("G")), granted);
        QVERIFY(messages.messages.empty());
    }

    void addWithoutGroupsCollectionEndsQuietlyAfterTheReport()
    {
        FaultyComponent component;
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        connectToSimulation(f);
        component.plan->failName = QStringLiteral("OPCServer.OPCGroups");
        click(f.AddOPCGroup);
        QCOMPARE(messages.messages.size(), size_t(1));
        QCOMPARE(messages.messages[0].prompt, reportText("Aggiungi gruppo", S::E_FAIL));
        QVERIFY(!f.ConnectedServerGroups);
        QCOMPARE(f.List2->ListCount(), 0);
    }

    void selectingListsItemsWithKeys()
    {
        Form1 &f = openMainWindow();
        connectToSimulation(f);
        addGroup(f, QStringLiteral("Gruppo1"));
        selectGroup(f, QStringLiteral("Gruppo1"));
        for (const char *id : {"Random.Int4", "Waves.Sine.Real8", "Random.String"})
            addItem(f, QString::fromLatin1(id));
        addGroup(f, QStringLiteral("Other"));
        QCOMPARE(f.List2->ListIndex(), -1);
        QCOMPARE(listViewTexts(f.ListView2).size(), 3); // still the old group's items
        selectGroup(f, QStringLiteral("Other"));
        QCOMPARE(f.ListView2->ListItems().Count(), 0);
        selectGroup(f, QStringLiteral("Gruppo1"));
        QCOMPARE(listViewKeys(f.ListView2), (QStringList{"Gruppo1 1", "Gruppo1 2", "Gruppo1 3"}));
        QCOMPARE(listViewTexts(f.ListView2), (QStringList{"Random.Int4", "Waves.Sine.Real8", "Random.String"}));
    }

    void selectingAGroupTheServerLostEndsSilently()
    {
        FaultyComponent component;
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        connectToSimulation(f);
        addGroup(f, QStringLiteral("A"));
        const QString before = f.enableRow();
        component.plan->failName = QStringLiteral("OPCGroups.GetOPCGroup");
        selectGroup(f, QStringLiteral("A"));
        QCOMPARE(f.enableRow(), before);
        QVERIFY(messages.messages.empty());
    }

    void removingOneOfThree()
    {
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        connectToSimulation(f);
        for (const char *name : {"A", "B", "C"})
            addGroup(f, QString::fromLatin1(name));
        selectGroup(f, QStringLiteral("B"));
        addItem(f, QStringLiteral("Random.Int4"));
        auto kept = Form1Probe(f).ConnectedGroup();
        click(f.Command4);
        QCOMPARE(listBoxTexts(f.List2), (QStringList{"A", "C"}));
        QCOMPARE(f.List2->ListIndex(), -1);
        QCOMPARE(f.ListView2->ListItems().Count(), 0);
        QCOMPARE(f.enableRow(), QStringLiteral("DDDEEEEEEDDDDD"));
        QCOMPARE(Form1Probe(f).ConnectedGroup(), kept);
        QVERIFY(messages.messages.empty());
        // A refused removal changes nothing.
        selectGroup(f, QStringLiteral("A"));
        f.ConnectedServerGroups->Remove(f.ConnectedServerGroups->GetOPCGroup(QStringLiteral("A"))->ServerHandle());
        click(f.Command4);
        QCOMPARE(listBoxTexts(f.List2), (QStringList{"A", "C"}));
        QVERIFY(messages.messages.empty());
    }

    void rateWindowShowsAndApplies()
    {
        MessageRecorder messages;
        Form1 &f = rateWindowOn(QStringLiteral("Gruppo1"));
        Form4 *w = Form4::existing();
        QVERIFY(w && w->isVisible());
        QCOMPARE(w->windowTitle(), QStringLiteral("Form4"));
        QCOMPARE(w->Text1->Text(), QStringLiteral("Gruppo1"));
        QVERIFY(!w->Text1->isEnabled());
        QCOMPARE(w->Text2->Text(), QStringLiteral("100"));
        w->Text2->setText(QStringLiteral("500"));
        click(w->Command1);
        QVERIFY(!Form4::existing());
        QCOMPARE(rateOf(f, QStringLiteral("Gruppo1")), 500);
        click(f.Command8);
        QCOMPARE(Form4::existing()->Text2->Text(), QStringLiteral("500"));
        QVERIFY(messages.messages.empty());
    }

    void rateWindowOverflowReportsAndCloses()
    {
        MessageRecorder messages;
        Form1 &f = rateWindowOn(QStringLiteral("Gruppo1"));
        Form4::existing()->Text2->setText(QStringLiteral("99999999999"));
        click(Form4::existing()->Command1);
        QCOMPARE(messages.messages.at(0).prompt, reportText("Group Update Rate", 6));
        QVERIFY(!Form4::existing());
        QCOMPARE(rateOf(f, QStringLiteral("Gruppo1")), 100);
    }

    void okAppliesToTheGroupTheWindowShows()
    {
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        connectToSimulation(f);
        addGroup(f, QStringLiteral("A"));
        addGroup(f, QStringLiteral("B"));
        selectGroup(f, QStringLiteral("A"));
        click(f.Command8);
        selectGroup(f, QStringLiteral("B"));
        Form4::existing()->Text2->setText(QStringLiteral("700"));
        click(Form4::existing()->Command1);
        QCOMPARE(rateOf(f, QStringLiteral("A")), 700);
        QCOMPARE(rateOf(f, QStringLiteral("B")), 100);
        // Adding a group meanwhile clears the selection: the shown group still gets its rate.
        selectGroup(f, QStringLiteral("B"));
        click(f.Command8);
        addGroup(f, QStringLiteral("C"));
        Form4::existing()->Text2->setText(QStringLiteral("300"));
        click(Form4::existing()->Command1);
        QCOMPARE(rateOf(f, QStringLiteral("B")), 300);
        QVERIFY(messages.messages.empty());
    }

    void okForAGroupThatIsGoneReportsTheLookup()
    {
        MessageRecorder messages;
        Form1 &f = rateWindowOn(QStringLiteral("A"));
        click(f.Command4);
        click(Form4::existing()->Command1);
        QCOMPARE(messages.messages.at(0).prompt, reportText("Group Update Rate", S::E_INVALIDARG));
        QVERIFY(!Form4::existing());
    }

    void openingTwiceKeepsOneWindow()
    {
        Form1 &f = openMainWindow();
        connectToSimulation(f);
        addGroup(f, QStringLiteral("A"));
        addGroup(f, QStringLiteral("B"), QStringLiteral("250"));
        selectGroup(f, QStringLiteral("A"));
        click(f.Command8);
        Form4 *first = Form4::existing();
        selectGroup(f, QStringLiteral("B"));
        click(f.Command8);
        QCOMPARE(Form4::existing(), first);
        QCOMPARE(first->Text1->Text(), QStringLiteral("B"));
        QCOMPARE(first->Text2->Text(), QStringLiteral("250"));
    }

    void openingFailureReportsAndCloses()
    {
        FaultyComponent component;
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        connectToSimulation(f);
        addGroup(f, QStringLiteral("A"));
        selectGroup(f, QStringLiteral("A"));
        component.plan->failName = QStringLiteral("OPCGroup.UpdateRate");
        component.plan->code = S::RPC_S_SERVER_UNAVAILABLE;
        click(f.Command8);
        QCOMPARE(messages.messages.at(0).prompt, reportText("Group Update Rate", S::RPC_S_SERVER_UNAVAILABLE));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!Form4::existing());
    }

    void okAfterTheMainWindowClosedAppliesNothing()
    {
        MessageRecorder messages;
        Form1 &f = rateWindowOn(QStringLiteral("A"));
        auto groups = f.ConnectedServerGroups;
        click(f.Command5);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!Form1::existing());
        Form4::existing()->Text2->setText(QStringLiteral("900"));
        click(Form4::existing()->Command1);
        QVERIFY(!Form4::existing());
        QVERIFY(messages.messages.empty());
    }
};

QTEST_MAIN(TestGroups)
#include "tst_groups.moc"
