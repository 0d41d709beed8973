// SPDX-License-Identifier: GPL-3.0-or-later
// The round trips an operator's action costs, counted by the server while
// it holds every answer as a long link would: each action waits for what
// it needs and no more, and what it keeps is not used once it may be stale.
#include "browser/browserhandlers.h"
#include "connection/form2.h"
#include "opc/errors.h"
#include "opc/ua/bridge/browser.h"
#include "opc/ua/bridge/uaserver.h"
#include "opc/ua/client/discovery.h"
#include "opc/ua/wire/services.h"
#include "scriptedserver.h"
#include "support/fixture.h"
#include "support/messages.h"

#include <QScopeGuard>
#include <QTest>

using quorivo::Form1;
using namespace testsupport;
using Script = ScriptedServer::Script;
namespace Id = opc::ua::Id;

namespace {

// What an action cost the server: its round trips and its requests by
// service (Publish and points given back left out: nothing waits for them).
struct Cost {
    int roundTrips = 0;
    std::map<uint32_t, int> requests;
    int connections = 0;
    bool operator==(const Cost &) const = default;
};

Cost costOf(ScriptedServer &server, const std::function<void()> &action)
{
    const auto before = server.counts();
    action();
    const auto after = server.counts();
    Cost c;
    c.roundTrips = after.roundTrips - before.roundTrips;
    c.connections = after.connections - before.connections;
    for (const auto &[type, n] : after.requests)
        if (type != Id::PublishRequest && n != before.requestsOf(type))
            c.requests[type] = n - before.requestsOf(type);
    return c;
}

QString describe(const Cost &c)
{
    QStringList parts{QStringLiteral("round trips %1, connections %2").arg(c.roundTrips).arg(c.connections)};
    for (const auto &[type, n] : c.requests)
        parts << QStringLiteral("%1 x%2").arg(type).arg(n);
    return parts.join(QStringLiteral("; "));
}

const QString Server = QString::fromLatin1(ScriptedServer::Uri);

QString key(std::initializer_list<const char *> path)
{
    QString k = Server + QStringLiteral(" (None, None)");
    for (const char *p : path)
        k += quorivo::KeySeparator + QString::fromLatin1(p);
    return k;
}

// Connected, the tree open down to the plant's areas.
bool openPlant(Form1 &f, const ScriptedServer &server)
{
    if (!connectByName(f, server.url(), server.endpoint()))
        return false;
    click(f.Command1);
    expandNode(f.TreeView1, key({}));
    expandNode(f.TreeView1, key({"Plant"}));
    return f.TreeView1->nodes()->find(key({"Plant", "Area1"})) != nullptr;
}

} // namespace

class TestUaRoundTrips : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { closeAllWindows(); }

    // The operator's road, action by action, against the round trips each
    // needs; a folder of 5,000 variables lists in answers of 1,000.
    void everyActionAtItsFewestRoundTrips()
    {
        Script script;
        script.plant = true;
        script.bigFolder = 5000;
        script.answerDelayMs = 150;
        ScriptedServer server(script);
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        const auto check = [&](const char *action, const Cost &expected, const std::function<void()> &act) {
            const Cost cost = costOf(server, act);
            QVERIFY2(cost == expected, qPrintable(QString::fromLatin1(action) + QStringLiteral(": ") + describe(cost) +
                                                  QStringLiteral(", expected ") + describe(expected)));
            QVERIFY2(messages.messages.empty(), action);
        };

        // One connection for FindServers and the endpoints of the one server
        // it names, at the same address.
        check("Lista degli OPC Servers", {2, {{Id::FindServersRequest, 1}, {Id::GetEndpointsRequest, 1}}, 1}, [&] {
            f.Text2->setText(server.url());
            click(f.ListOPCServers);
        });
        const int row = static_cast<int>(listBoxTexts(f.OPCServerList).indexOf(server.endpoint()));
        QVERIFY(row >= 0);
        pickListRow(f.OPCServerList, row);
        // The session's facts go beside its activation.
        check("Connetti", {2, {{Id::CreateSessionRequest, 1}, {Id::ActivateSessionRequest, 1}, {Id::ReadRequest, 1}}, 1},
              [&] { click(f.OPCServerConnect); });
        QCOMPARE(f.windowTitle(), QStringLiteral("Server Connesso"));
        QCOMPARE(server.counts().opens, 2); // the listing's, the session's

        check("Espolora risorse", {}, [&] { click(f.Command1); });
        check("expand the root", {1, {{Id::BrowseRequest, 1}}, 0}, [&] { expandNode(f.TreeView1, key({})); });
        check("expand at depth 2", {1, {{Id::BrowseRequest, 1}}, 0}, [&] { expandNode(f.TreeView1, key({"Plant"})); });
        // Its variables asked whether they hold children, in one request.
        check("expand at depth 3, variables in it", {2, {{Id::BrowseRequest, 2}}, 0},
              [&] { expandNode(f.TreeView1, key({"Plant", "Area1"})); });
        QVERIFY(f.TreeView1->nodes()->find(key({"Plant", "Area1", "Motor"}))); // a variable with children is a branch
        QVERIFY(!f.TreeView1->nodes()->find(key({"Plant", "Area1", "T1"})));
        check("expand at depth 4, variables in it", {2, {{Id::BrowseRequest, 2}}, 0},
              [&] { expandNode(f.TreeView1, key({"Plant", "Area1", "Line1"})); });
        check("list a folder's leaves", {1, {{Id::BrowseRequest, 1}}, 0},
              [&] { pickTreeNode(f.TreeView1, key({"Plant", "Area1"})); });
        QCOMPARE(listViewTexts(f.ListView1), (QStringList{"T1", "T2", "Motor"}));
        check("pick a leaf", {}, [&] { pickListViewRow(f.ListView1, 2); });
        QCOMPARE(f.Text1->Text(), QStringLiteral("ns=1;s=Plant.Area1.T2"));
        check("list a folder of 5,000", {5, {{Id::BrowseRequest, 1}, {Id::BrowseNextRequest, 4}}, 0},
              [&] { pickTreeNode(f.TreeView1, key({"Big"})); });
        check("pick a leaf of 5,000", {}, [&] { pickListViewRow(f.ListView1, 4321); });
        QCOMPARE(f.Text1->Text(), QStringLiteral("ns=1;s=Big.V4320xxx"));
        // Its 5,000 variables asked whether they hold children in five
        // requests of 1,000, sent together.
        check("expand a folder of 5,000", {6, {{Id::BrowseRequest, 6}, {Id::BrowseNextRequest, 4}}, 0},
              [&] { expandNode(f.TreeView1, key({"Big"})); });

        check("Aggiungi gruppo", {1, {{Id::CreateSubscriptionRequest, 1}}, 0},
              [&] { addGroup(f, QStringLiteral("G"), QStringLiteral("500")); });
        selectGroup(f, QStringLiteral("G"));
        // What the item needs read goes with its creation.
        check("Aggiungi Item", {1, {{Id::ReadRequest, 1}, {Id::CreateMonitoredItemsRequest, 1}}, 0},
              [&] { click(f.Command2); });
        check("Proprietà", {1, {{Id::ReadRequest, 1}}, 0}, [&] { click(f.Command6); });
        check("Disconnessione", {1, {{Id::CloseSessionRequest, 1}}, 0},
              [&] { click(f.DisconnectFromServer); });
    }

    // "Proprietà" shows eight facts of one ServerStatus: one Read, and a
    // fresh one each time the window is asked again.
    void propertiesReadTheStatusOnce()
    {
        ScriptedServer server;
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        QVERIFY(connectByName(f, server.url(), server.endpoint()));
        for (int time = 1; time <= 2; ++time) {
            const int before = server.counts().reads;
            click(f.Command6);
            QCOMPARE(server.counts().reads - before, 1);
            QCoreApplication::processEvents();
        }
        QVERIFY(messages.messages.empty());
    }

    // A server that serves the session's facts before the activation they
    // came with is done refuses them: they are asked again once it is, and
    // an item named by its namespace's URI is found by them.
    void factsRefusedBesideTheActivation()
    {
        Script script;
        script.activateDelayMs = 100;
        ScriptedServer server(script);
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        QVERIFY(connectByName(f, server.url(), server.endpoint()));
        addGroup(f, QStringLiteral("G"), QStringLiteral("100"));
        selectGroup(f, QStringLiteral("G"));
        addItem(f, QStringLiteral("nsu=urn:quorivo:scripted;s=Big.V0"));
        QVERIFY(messages.messages.empty());
        QCOMPARE(listViewTexts(f.ListView2), QStringList{"nsu=urn:quorivo:scripted;s=Big.V0"});
        QCOMPARE(server.counts().requestsOf(Id::ReadRequest), 3); // the facts twice, the item once
    }

    // Points given back are not waited for: the expand is over while the
    // server still holds their answer.
    void pointsGivenBackAreNotWaitedFor()
    {
        Script script;
        script.plant = true;
        script.releaseDelayMs = 3000;
        ScriptedServer server(script);
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        QVERIFY(openPlant(f, server));
        // Motor holds two children: asked for one, it leaves a point to give back.
        expandNode(f.TreeView1, key({"Plant", "Area1"}));
        QVERIFY(messages.messages.empty());
        QTRY_COMPARE(server.counts().releasesReceived, 1);
        QCOMPARE(server.counts().releasesAnswered, 0);
    }

    // What the browser kept is not used where it may be stale: a folder
    // whose child came back under another id is found again by its name, a
    // renamed one shows at the next listing, and a new session asks afresh.
    void keptListingsThatNoLongerHold()
    {
        Script script;
        script.plant = true;
        ScriptedServer server(script);
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        QVERIFY(openPlant(f, server));
        expandNode(f.TreeView1, key({"Plant", "Area1"}));

        // Line1 made again by the server, under a new id.
        server.set([](Script &s) { s.lineNodeId = QStringLiteral("Plant.Area1.Line1b"); });
        expandNode(f.TreeView1, key({"Plant", "Area1", "Line1"}));
        QVERIFY(messages.messages.empty());
        QVERIFY(f.TreeView1->nodes()->find(key({"Plant", "Area1", "Line1"})));
        pickTreeNode(f.TreeView1, key({"Plant", "Area1", "Line1"}));
        QCOMPARE(listViewTexts(f.ListView1), (QStringList{"Speed", "Load"}));
        pickListViewRow(f.ListView1, 1);
        QCOMPARE(f.Text1->Text(), QStringLiteral("ns=1;s=Plant.Area1.Line1b.Speed"));

        // Renamed: gone from the next listing, the new name there and usable.
        server.set([](Script &s) {
            s.lineNodeId = QStringLiteral("Plant.Area1.Line2");
            s.lineName = QStringLiteral("Line2");
        });
        collapseNode(f.TreeView1, key({"Plant", "Area1"}));
        expandNode(f.TreeView1, key({"Plant", "Area1"}));
        QVERIFY(!f.TreeView1->nodes()->find(key({"Plant", "Area1", "Line1"})));
        QVERIFY(f.TreeView1->nodes()->find(key({"Plant", "Area1", "Line2"})));
        pickTreeNode(f.TreeView1, key({"Plant", "Area1", "Line2"}));
        pickListViewRow(f.ListView1, 2);
        QCOMPARE(f.Text1->Text(), QStringLiteral("ns=1;s=Plant.Area1.Line2.Load"));
        QVERIFY(messages.messages.empty());

        // A new session after a reset: the first step asks again.
        server.resetAll();
        QTRY_COMPARE_WITH_TIMEOUT(server.counts().sessions, 2, 10000);
        QTest::qWait(100);
        const int before = server.counts().requestsOf(Id::BrowseRequest);
        pickListViewRow(f.ListView1, 1);
        QCOMPARE(f.Text1->Text(), QStringLiteral("ns=1;s=Plant.Area1.Line2.Speed"));
        QVERIFY(server.counts().requestsOf(Id::BrowseRequest) > before);
        QVERIFY(messages.messages.empty());
    }

    // The kept listings are bounded: past the bound the oldest is given up,
    // and a step into it asks the server again.
    void keptListingsAreBounded()
    {
        Script script;
        script.plant = true;
        ScriptedServer server(script);
        opc::ua::BrowseLimits limits;
        limits.keptReferences = 4; // Area1's listing, and no more
        opc::ua::setBrowseLimits(limits);
        const auto restore = qScopeGuard([] { opc::ua::setBrowseLimits({}); });
        auto opc = opc::ua::newUaServer();
        opc->Connect(server.endpoint(), server.url());
        auto browser = opc->CreateBrowser();
        const auto browses = [&] { return server.counts().requestsOf(Id::BrowseRequest); };
        browser->MoveDown(QStringLiteral("Plant"));
        browser->MoveDown(QStringLiteral("Area1"));
        int before = browses();
        browser->ShowLeafs(false);
        QCOMPARE(browses() - before, 1);
        before = browses();
        QCOMPARE(browser->GetItemID(QStringLiteral("Motor")), QStringLiteral("ns=1;s=Plant.Area1.Motor"));
        QCOMPARE(browses() - before, 0);
        // The top and Plant went to make room: the way down asks again.
        browser->MoveToRoot();
        before = browses();
        browser->MoveDown(QStringLiteral("Plant"));
        QCOMPARE(browses() - before, 1);
        // A name no listing holds is asked once more before it is refused.
        before = browses();
        QVERIFY_THROWS_EXCEPTION(opc::OpcError, browser->MoveDown(QStringLiteral("Area9")));
        QCOMPARE(browses() - before, 1);
        opc->Disconnect();
    }

    // Connetti without a listing asks the endpoints itself; after a listing
    // grown old it asks them again; an endpoint that moved since the listing
    // is found by asking again.
    void connectWithoutFreshEndpoints()
    {
        ScriptedServer server;
        opc::ua::ageRememberedServers(opc::ua::KnownEndpointsMs); // another test's server may have had this port
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        const auto endpointsAsked = [&] { return server.counts().requestsOf(Id::GetEndpointsRequest); };

        int before = endpointsAsked();
        QVERIFY(connectByName(f, server.url(), server.endpoint()));
        QCOMPARE(endpointsAsked() - before, 1);
        click(f.DisconnectFromServer);

        f.Text2->setText(server.url());
        click(f.ListOPCServers);
        opc::ua::ageRememberedServers(opc::ua::KnownEndpointsMs);
        pickListRow(f.OPCServerList, static_cast<int>(listBoxTexts(f.OPCServerList).indexOf(server.endpoint())));
        before = endpointsAsked();
        click(f.OPCServerConnect);
        QCOMPARE(f.windowTitle(), QStringLiteral("Server Connesso"));
        QCOMPARE(endpointsAsked() - before, 1);
        click(f.DisconnectFromServer);
        QVERIFY(messages.messages.empty());
    }

};

QTEST_MAIN(TestUaRoundTrips)
#include "tst_uaroundtrips.moc"
