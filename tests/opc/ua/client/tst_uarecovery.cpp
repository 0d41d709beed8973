// SPDX-License-Identifier: GPL-3.0-or-later
// The client against servers that fail: a connection that resets while a
// group's many items are made again, a server that closes every session,
// a reset that comes right after the answers a send would follow.
#include "opc/errors.h"
#include "opc/ua/client/client.h"
#include "scriptedserver.h"

#include <QElapsedTimer>
#include <QTest>

using namespace opc::ua;
namespace S = opc::Status;

namespace {

int32_t connectClient(Client &client, const ScriptedServer &server)
{
    int32_t result = 1;
    client.connectTo(*parseTarget(server.url()), server.endpoint(), 10000, [&](int32_t e) { result = e; });
    if (!QTest::qWaitFor([&] { return result != 1; }, 12000))
        return -1;
    return result;
}

// Runs a client operation and waits for its end.
int32_t wait(const std::function<void(std::function<void(int32_t)>)> &op, int timeoutMs = 60000)
{
    int32_t result = 1;
    op([&](int32_t e) { result = e; });
    if (!QTest::qWaitFor([&] { return result != 1; }, timeoutMs))
        return -1;
    return result;
}

std::vector<Subscriptions::ItemSpec> items(uint32_t first, size_t count)
{
    std::vector<Subscriptions::ItemSpec> out;
    out.reserve(count);
    for (size_t i = 0; i < count; ++i)
        out.push_back({first + static_cast<uint32_t>(i), NodeId::str(1, QStringLiteral("Big.V%1").arg(i)), 1000});
    return out;
}

bool allGood(const Client &client, uint32_t first, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        const CachedValue c = client.cached(first + static_cast<uint32_t>(i));
        if (!c.received || c.commFailure)
            return false;
    }
    return true;
}

} // namespace

class TestUaRecovery : public QObject {
    Q_OBJECT

private slots:
    // 50,000 items made again one per call (the server's limit), and the
    // server closes the connection at the hundredth: the rest fail at once,
    // one after another, and the client lives on. Once the server takes
    // them again, every item comes back.
    void manyItemsMadeAgainAgainstAClosingServer()
    {
        constexpr size_t Count = 50000;
        ScriptedServer server;
        Client client;
        QCOMPARE(connectClient(client, server), 0);
        QCOMPARE(wait([&](auto done) { client.addSubscription(1, 1000, [done](int32_t e, double) { done(e); }); }), 0);
        QCOMPARE(wait([&](auto done) { client.addItems(1, items(100, Count), done); }), 0);
        QTRY_VERIFY_WITH_TIMEOUT(allGood(client, 100, Count), 15000);

        server.set([](ScriptedServer::Script &s) {
            s.maxItemsPerCall = 1;
            s.closeAfterItemCalls = 100;
        });
        const int calls = server.counts().itemCalls;
        server.resetAll();
        // Reconnections come and fail their re-creation at the hundredth
        // batch, each with the rest of the 50,000 failing together.
        QTRY_VERIFY_WITH_TIMEOUT(client.reconnects() >= 2 && server.counts().itemCalls - calls >= 200, 30000);
        QVERIFY(client.cached(100).commFailure);
        // Each connection saw its hundred calls at most: nothing was sent
        // after the channel went.
        const auto seen = server.counts();
        QVERIFY2(seen.itemCalls - calls <= 100 * (seen.connections - 1), qPrintable(QString::number(seen.itemCalls - calls)));

        server.set([](ScriptedServer::Script &s) {
            s.maxItemsPerCall = 0;
            s.closeAfterItemCalls = 0;
        });
        QTRY_VERIFY_WITH_TIMEOUT(allGood(client, 100, Count), 30000);
    }

    // Every Publish answered BadSessionClosed: sessions are made again with
    // growing waits, then the client gives up and shows the loss instead
    // of asking for new sessions without end.
    void aServerThatClosesEverySession()
    {
        ScriptedServer server;
        Client client;
        QCOMPARE(connectClient(client, server), 0);
        QCOMPARE(wait([&](auto done) { client.addSubscription(1, 100, [done](int32_t e, double) { done(e); }); }), 0);
        QCOMPARE(wait([&](auto done) { client.addItems(1, items(1, 3), done); }), 0);
        QTRY_VERIFY_WITH_TIMEOUT(allGood(client, 1, 3), 5000);
        const int before = server.counts().sessions;
        server.set([](ScriptedServer::Script &s) { s.closeEverySession = true; });
        QElapsedTimer clock;
        clock.start();
        QTRY_VERIFY_WITH_TIMEOUT(client.cached(1).commFailure, 40000);
        // And stays so: no more sessions once given up.
        const int made = server.counts().sessions - before;
        QVERIFY2(made <= 10, qPrintable(QString::number(made)));
        QTest::qWait(3000);
        QCOMPARE(server.counts().sessions - before, made);
        QVERIFY(client.cached(1).commFailure);
        int32_t error = 0;
        client.call(Id::ReadRequest, [](Encoder &e) { e.float64(0); e.int32(0); e.int32(0); }, 2000,
                    [&](int32_t e, const QByteArray &) { error = e; });
        QTRY_COMPARE(error, S::RPC_S_SERVER_UNAVAILABLE);
    }

    // A reset right after two Publish answers, on every connection: the
    // sends that follow them fail, the channel is dropped at once, and the
    // client waits before it reconnects; the worker never spins.
    void aResetAfterTwoPublishAnswers()
    {
        ScriptedServer server;
        Client client;
        QCOMPARE(connectClient(client, server), 0);
        server.set([](ScriptedServer::Script &s) { s.resetAfterPublishes = 2; });
        QCOMPARE(wait([&](auto done) { client.addSubscription(1, 50, [done](int32_t e, double) { done(e); }); }), 0);
        QCOMPARE(wait([&](auto done) { client.addItems(1, items(1, 10), done); }), 0);
        // The event loop turns: a timer of this thread keeps its time.
        QElapsedTimer clock;
        clock.start();
        qint64 longest = 0, last = 0;
        while (clock.elapsed() < 6000) {
            QTest::qWait(50);
            longest = std::max(longest, clock.elapsed() - last);
            last = clock.elapsed();
        }
        QVERIFY2(longest < 1000, qPrintable(QString::number(longest)));
        // Reconnections come with growing waits, not as fast as they can.
        const int connections = server.counts().connections;
        QVERIFY2(connections >= 3 && connections <= 10, qPrintable(QString::number(connections)));
        server.set([](ScriptedServer::Script &s) { s.resetAfterPublishes = 0; });
        QTRY_VERIFY_WITH_TIMEOUT(allGood(client, 1, 10), 30000);
    }
};

QTEST_GUILESS_MAIN(TestUaRecovery)
#include "tst_uarecovery.moc"
