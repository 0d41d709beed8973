// SPDX-License-Identifier: GPL-3.0-or-later
// What the operator sees of servers that fail or answer oddly, through the
// real windows: a server that goes silent, one that resets, ends its
// subscriptions, closes every session, skips notifications, refuses to
// modify a subscription, and browse answers as real servers give them.
#include "browser/browserhandlers.h"
#include "connection/form2.h"
#include "groups/form4.h"
#include "items/form3.h"
#include "opc/errors.h"
#include "opc/ua/bridge/browser.h"
#include "opc/ua/bridge/uaserver.h"
#include "scriptedserver.h"
#include "support/fixture.h"
#include "support/memory.h"
#include "support/messages.h"

#include <QElapsedTimer>
#include <QTest>

using quorivo::Form1;
using quorivo::Form3;
using namespace testsupport;
namespace S = opc::Status;
using Script = ScriptedServer::Script;

namespace {

QString quality(Form3 *form, int row = 1) { return form->ListView1->ListItems().Item(row).SubItems(3); }
QString value(Form3 *form, int row = 1) { return form->ListView1->ListItems().Item(row).SubItems(1); }

// The subscription a value of the scripted server came from.
int subscriptionOf(const QString &text) { return static_cast<int>(QLocale().toDouble(text) / 100000); }

} // namespace

class TestUaFailures : public QObject {
    Q_OBJECT

private slots:
    void cleanup()
    {
        closeAllWindows();
        opc::ua::setBrowseLimits({});
    }

    // A server that goes silent without a reset (a cable pulled): its
    // items leave quality 192 within the keep-alive bound plus five
    // seconds, "Proprietà" answers with an error within 15 s, and the
    // values come back once the server answers again.
    void aSilentServerIsNotShownGood()
    {
        ScriptedServer server;
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        Form3 *form = connectWithItem(f, server, QStringLiteral("100"));
        QTRY_COMPARE_WITH_TIMEOUT(quality(form), QStringLiteral("192"), 8000);
        const qint64 bound = opc::ua::keepAliveBoundMs(100, 10);

        server.set([](Script &s) { s.silent = true; });
        QElapsedTimer clock;
        clock.start();
        QTRY_VERIFY_WITH_TIMEOUT(quality(form) != QStringLiteral("192"), int(bound + 5000));
        QCOMPARE(quality(form), QStringLiteral("24"));
        QVERIFY2(clock.elapsed() <= bound + 5000, qPrintable(QString::number(clock.elapsed())));
        // The last value stays beside the failure.
        QVERIFY(!value(form).isEmpty());

        clock.restart();
        click(f.Command6);
        QVERIFY(clock.elapsed() < 15000);
        QCOMPARE(messages.messages.size(), size_t(1));
        QVERIFY2(messages.messages[0].prompt.startsWith(QStringLiteral("La funzione OPC 'Proprietà'")),
                 qPrintable(messages.messages[0].prompt));

        server.set([](Script &s) { s.silent = false; });
        QTRY_COMPARE_WITH_TIMEOUT(quality(form), QStringLiteral("192"), 30000);
    }

    // The server ends a subscription (its lifetime, a transfer) and says
    // so: the items show it, and the subscription is made again.
    void aSubscriptionTheServerEnds()
    {
        ScriptedServer server;
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        Form3 *form = connectWithItem(f, server, QStringLiteral("100"));
        QTRY_COMPARE_WITH_TIMEOUT(quality(form), QStringLiteral("192"), 8000);
        const int made = server.counts().subscriptionsMade;
        server.endSubscriptions();
        QTRY_COMPARE_WITH_TIMEOUT(server.counts().subscriptionsMade, made + 1, 8000);
        QTRY_COMPARE_WITH_TIMEOUT(subscriptionOf(value(form)), made + 1, 8000);
        QCOMPARE(quality(form), QStringLiteral("192"));
        QCOMPARE(server.counts().liveSubscriptions, size_t(1));
        QVERIFY(messages.messages.empty());
    }

    // Every Publish answered BadSessionClosed: a few sessions with growing
    // waits, then the loss shows in the table and the next call says so.
    void aServerThatClosesEverySession()
    {
        ScriptedServer server;
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        Form3 *form = connectWithItem(f, server, QStringLiteral("100"));
        QTRY_COMPARE_WITH_TIMEOUT(quality(form), QStringLiteral("192"), 8000);
        server.set([](Script &s) { s.closeEverySession = true; });
        QTRY_COMPARE_WITH_TIMEOUT(quality(form), QStringLiteral("24"), 40000);
        QVERIFY2(server.counts().sessions <= 10, qPrintable(QString::number(server.counts().sessions)));
        click(f.Command6);
        QCOMPARE(messages.messages.size(), size_t(1));
        QCOMPARE(messages.messages[0].prompt, reportText("Proprietà", S::RPC_S_SERVER_UNAVAILABLE));
    }

    // Sequence numbers that jump: what was missed is asked one message at
    // a time, and given up when the server does not have it; the table
    // goes on.
    void missedNotificationsAreAskedOneAtATime_data()
    {
        QTest::addColumn<int>("delay");
        QTest::addColumn<int>("most");
        QTest::newRow("answered late, not available") << 300 << 40;
        QTest::newRow("never answered") << -1 << 3;
    }

    void missedNotificationsAreAskedOneAtATime()
    {
        QFETCH(int, delay);
        QFETCH(int, most);
        ScriptedServer server;
        server.set([delay](Script &s) {
            s.sequenceStep = 1000;
            s.republishDelayMs = delay;
        });
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        Form3 *form = connectWithItem(f, server, QStringLiteral("100"));
        QTRY_COMPARE_WITH_TIMEOUT(quality(form), QStringLiteral("192"), 8000);
        QTest::qWait(10000);
        const auto counts = server.counts();
        QVERIFY(counts.republishes >= 1);
        QVERIFY2(counts.republishes <= most, qPrintable(QString::number(counts.republishes)));
        // Answered, the server sees them one at a time; never answered,
        // each waits for its own time to run out before the next.
        if (delay >= 0)
            QCOMPARE(counts.maxRepublishing, 1);
        QCOMPARE(quality(form), QStringLiteral("192"));
        QCOMPARE(counts.sessions, 1);
    }

    // Two rate changes on a server that will not modify a subscription and
    // takes seven seconds to make one: the window stops waiting, the
    // changes run one after the other, and in the end the group holds one
    // subscription; notifications of those it let go (the server keeps
    // sending them) never reach the table.
    void overlappingRateChangesLeaveOneSubscription()
    {
        ScriptedServer server;
        server.set([](Script &s) {
            s.refuseModify = true;
            s.ignoreDelete = true;
        });
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        Form3 *form = connectWithItem(f, server, QStringLiteral("100"));
        QTRY_COMPARE_WITH_TIMEOUT(quality(form), QStringLiteral("192"), 8000);
        server.set([](Script &s) { s.createSubscriptionDelayMs = 7000; });
        for (const char *rate : {"250", "500"}) {
            click(f.Command8);
            quorivo::Form4::existing()->Text2->setText(QString::fromLatin1(rate));
            click(quorivo::Form4::existing()->Command1);
        }
        // Both waits ran out, each said so.
        QCOMPARE(messages.messages.size(), size_t(2));
        QCOMPARE(messages.messages[0].prompt, reportText("Group Update Rate", S::RPC_S_SERVER_UNAVAILABLE));
        QTRY_COMPARE_WITH_TIMEOUT(server.counts().subscriptionsMade, 3, 30000);
        QTRY_COMPARE_WITH_TIMEOUT(server.counts().liveSubscriptions, size_t(1), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(subscriptionOf(value(form)), 3, 10000);
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 1500) {
            QCOMPARE(subscriptionOf(value(form)), 3);
            QTest::qWait(20);
        }
        server.set([](Script &s) { s.createSubscriptionDelayMs = 0; });
        click(f.Command8);
        QCOMPARE(quorivo::Form4::existing()->Text2->Text(), QStringLiteral("500"));
    }

    // A group removed while its subscription is still being made: the
    // subscription the server makes for it later is deleted.
    void aGroupRemovedWhileItsSubscriptionIsMade()
    {
        ScriptedServer server;
        server.set([](Script &s) { s.createSubscriptionDelayMs = 7000; });
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        QVERIFY(connectByName(f, server.url(), server.endpoint()));
        addGroup(f, QStringLiteral("G"), QStringLiteral("100"));
        QCOMPARE(messages.messages.size(), size_t(1));
        QCOMPARE(messages.messages[0].prompt, reportText("Aggiungi gruppo", S::RPC_S_SERVER_UNAVAILABLE));
        selectGroup(f, QStringLiteral("G"));
        click(f.Command4);
        QCOMPARE(f.List2->ListCount(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(server.counts().subscriptionsMade, 1, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(server.counts().liveSubscriptions, size_t(0), 10000);
    }

    // A server that sends a folder whole whatever was asked, as a widely
    // used stack does: every leaf is listed.
    void aBrowseAnswerLargerThanAsked()
    {
        ScriptedServer server;
        server.set([](Script &s) { s.browse = Script::Browse::Whole; });
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        QVERIFY(connectByName(f, server.url(), server.endpoint()));
        const QString root = openTree(f);
        pickTreeNode(f.TreeView1, root + quorivo::KeySeparator + QStringLiteral("Big"));
        QCOMPARE(f.ListView1->ListItems().Count(), 2000);
        QCOMPARE(listViewTexts(f.ListView1).last(), QStringLiteral("V1999xxx"));
        QVERIFY(messages.messages.empty());
        QCOMPARE(server.counts().browseNexts, 0);
    }

    // A folder without end, of 16 KiB names: the listing stops at its
    // bound in bytes, says so, gives the continuation point back, and the
    // program does not grow past it.
    void anEndlessFolderIsBounded()
    {
        ScriptedServer server;
        server.set([](Script &s) { s.nameLength = 16384; });
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        QVERIFY(connectByName(f, server.url(), server.endpoint()));
        const QString root = openTree(f);
        const qint64 before = residentKiB();
        QElapsedTimer clock;
        clock.start();
        pickTreeNode(f.TreeView1, root + quorivo::KeySeparator + QStringLiteral("Endless"));
        QVERIFY(clock.elapsed() < 30000);
        QCOMPARE(messages.messages.size(), size_t(1));
        QCOMPARE(messages.messages[0].prompt, reportText("Espolora risorse", S::E_OUTOFMEMORY));
        QTRY_COMPARE(server.counts().releasedPoints, 1);
        QVERIFY2(residentKiB() - before < 800 * 1024, qPrintable(QString::number(residentKiB() - before)));
        QCOMPARE(f.ListView1->ListItems().Count(), 0);
    }

    // The bounds refuse nothing a healthy server sends: a folder of a
    // million references in answers of the size asked, and one of a
    // hundred thousand long names in a single answer.
    void theMostAHealthyServerSends_data()
    {
        QTest::addColumn<int>("browse");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("nameLength");
        QTest::newRow("a million references, as asked") << int(Script::Browse::Paged) << 1000000 << 8;
        QTest::newRow("100,000 names of 128 characters in one answer") << int(Script::Browse::Whole) << 100000 << 128;
    }

    void theMostAHealthyServerSends()
    {
        QFETCH(int, browse);
        QFETCH(int, count);
        QFETCH(int, nameLength);
        ScriptedServer server;
        server.set([=](Script &s) {
            s.browse = Script::Browse(browse);
            s.bigFolder = count;
            s.nameLength = nameLength;
        });
        auto opc = opc::ua::newUaServer();
        opc->Connect(server.endpoint(), server.url());
        auto browser = opc->CreateBrowser();
        browser->MoveDown(QStringLiteral("Big"));
        browser->ShowLeafs(false);
        QCOMPARE(browser->Count(), count);
        QCOMPARE(browser->Item(count).size(), qsizetype(nameLength));
        QCOMPARE(server.counts().releasedPoints, 0);
        // The listing is kept whole: its last leaf resolves without asking.
        const auto asked = [&server] {
            const auto c = server.counts();
            return c.requestsOf(opc::ua::Id::BrowseRequest) + c.requestsOf(opc::ua::Id::BrowseNextRequest);
        };
        const int before = asked();
        QCOMPARE(browser->GetItemID(browser->Item(count)), QStringLiteral("ns=1;s=Big.") + browser->Item(count));
        QCOMPARE(asked(), before);
        opc->Disconnect();
    }

    // A listing that goes on past its time says so too.
    void aListingPastItsTime()
    {
        ScriptedServer server;
        server.set([](Script &s) { s.endlessPage = 10; });
        opc::ua::setBrowseLimits({1000000, qint64{128} << 20, 1500});
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        QVERIFY(connectByName(f, server.url(), server.endpoint()));
        const QString root = openTree(f);
        pickTreeNode(f.TreeView1, root + quorivo::KeySeparator + QStringLiteral("Endless"));
        QCOMPARE(messages.messages.size(), size_t(1));
        QCOMPARE(messages.messages[0].prompt, reportText("Espolora risorse", S::UA_E_TIMEOUT));
        QTRY_COMPARE(server.counts().releasedPoints, 1);
    }

private:

    // Connected, a group at this rate with one item, and its table open.
    static Form3 *connectWithItem(Form1 &f, const ScriptedServer &server, const QString &rate)
    {
        if (!connectByName(f, server.url(), server.endpoint()))
            return nullptr;
        addGroup(f, QStringLiteral("G"), rate);
        selectGroup(f, QStringLiteral("G"));
        addItem(f, QStringLiteral("ns=1;s=Big.V0"));
        click(f.Command3);
        return Form3::existing();
    }

    static QString openTree(Form1 &f)
    {
        click(f.Command1);
        const QString root = f.OPCServerName->Text();
        expandNode(f.TreeView1, root);
        return root;
    }
};

QTEST_MAIN(TestUaFailures)
#include "tst_uafailures.moc"
