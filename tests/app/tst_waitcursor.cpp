// SPDX-License-Identifier: GPL-3.0-or-later
// The wait cursor while the window thread waits on the OPC UA bridge's
// worker: shown for the whole wait, and gone after it however it ended.
#include "app/handlers.h"
#include "opc/ua/client/client.h"
#include "opc/ua/bridge/uaserver.h"
#include "support/expect.h"

#include <QApplication>
#include <QTimer>
#include <QTest>
#include <atomic>

namespace {
// The override cursor's shape as the worker sees it while the window
// thread waits; -1 for none.
int shownCursor()
{
    const QCursor *cursor = QGuiApplication::overrideCursor();
    return cursor ? static_cast<int>(cursor->shape()) : -1;
}
} // namespace

class TestWaitCursor : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { quorivo::installProgram(); }
    void cleanup() { QCOMPARE(shownCursor(), -1); }

    void shownWhileACallWaits_data()
    {
        QTest::addColumn<QString>("ending");
        QTest::newRow("answered") << "answered";
        QTest::newRow("failed") << "failed";
        QTest::newRow("timed out") << "timed out";
    }

    void shownWhileACallWaits()
    {
        QFETCH(QString, ending);
        opc::ua::Worker worker;
        std::atomic_int during{-2};
        const int result = worker.call<int>(500, -1, [&during, ending](std::function<void(int)> complete) {
            during = shownCursor();
            if (ending == QLatin1String("timed out"))
                return;
            QTimer::singleShot(100, [complete, ending] { complete(ending == QLatin1String("failed") ? 5 : 0); });
        });
        QCOMPARE(during.load(), int(Qt::WaitCursor));
        QCOMPARE(result, ending == QLatin1String("answered") ? 0 : ending == QLatin1String("failed") ? 5 : -1);
        QCOMPARE(shownCursor(), -1);
    }

    // A refused connect throws out of the bridge: the cursor goes with it.
    void restoredWhenTheCallThrows()
    {
        auto server = opc::ua::newUaServer();
        EXPECT_FAILS(server->Connect(QStringLiteral("urn:none"), QStringLiteral("opc.tcp://127.0.0.1:1")),
                     opc::Status::RPC_S_SERVER_UNAVAILABLE);
        QCOMPARE(shownCursor(), -1);
    }

    // A cursor the program set itself is the one left after the wait.
    void nestedCursorsUnwindInOrder()
    {
        QGuiApplication::setOverrideCursor(QCursor(Qt::CrossCursor));
        opc::ua::Worker worker;
        std::atomic_int during{-2};
        worker.call<int>(500, -1, [&during](std::function<void(int)> complete) {
            during = shownCursor();
            complete(0);
        });
        QCOMPARE(during.load(), int(Qt::WaitCursor));
        QCOMPARE(shownCursor(), int(Qt::CrossCursor));
        QGuiApplication::restoreOverrideCursor();
    }
};

QTEST_MAIN(TestWaitCursor)
#include "tst_waitcursor.moc"
