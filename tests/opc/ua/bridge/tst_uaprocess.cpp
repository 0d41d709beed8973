// SPDX-License-Identifier: GPL-3.0-or-later
// The real program, as its own process, against a server that resets every
// connection right after two Publish answers, and one that goes silent:
// its window keeps answering, its memory stays flat, and its item table
// shows the loss and the return.
#include "opc/ua/client/subscriptions.h"
#include "scriptedserver.h"
#include "support/memory.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTest>

namespace {

// One line of the program's watch on the item table.
struct Watched {
    qint64 at = 0; // ms since the watch began
    QString quality;
};

class Program {
public:
    // Connects by typing the server's endpoint, or by picking the server in
    // the node's listing; then a group at 100 ms with one item, its table
    // watched.
    explicit Program(const ScriptedServer &server, bool byListing = false)
    {
        const QString connect = byListing ? QStringLiteral("type:Form1/Text2=%1;click:Form1/ListOPCServers;pause:1500;"
                                                           "top:Form1/OPCServerList;click:Form1/OPCServerConnect;pause:1500;")
                                                .arg(server.url())
                                          : QStringLiteral("type:Form1/Text2=%1;type:Form1/OPCServerName=%2;"
                                                           "click:Form1/OPCServerConnect;")
                                                .arg(server.url(), server.endpoint());
        const QString script = QStringLiteral("click:FrmSplash/Command1;") + connect +
                               QStringLiteral("type:Form1/OPCGroupName=G;type:Form1/GroupUpdateRate=100;"
                                              "click:Form1/AddOPCGroup;top:Form1/List2;type:Form1/Text1=ns=1%3Bs=Big.V0;"
                                              "click:Form1/Command2;click:Form1/Command3;watch:200:Form3/ListView1");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(QUORIVO_INJECT_LIBRARY));
        env.insert(QStringLiteral("QUORIVO_INJECT"), script);
        m_process.setProcessEnvironment(env);
        m_process.start(QStringLiteral(QUORIVO_BINARY), {});
    }
    ~Program()
    {
        m_process.kill();
        m_process.waitForFinished(3000);
    }
    bool started() { return m_process.waitForStarted(5000); }

    // What the watch has printed since the last call.
    std::vector<Watched> lines()
    {
        m_process.waitForReadyRead(100);
        m_out += m_process.readAllStandardOutput();
        std::vector<Watched> out;
        qsizetype end;
        while ((end = m_out.indexOf('\n')) >= 0) {
            const QByteArray line = m_out.left(end);
            m_out.remove(0, end + 1);
            if (line.startsWith("missing"))
                m_missing += QString::fromUtf8(line) + QLatin1Char('\n');
            if (!line.startsWith("watch "))
                continue;
            const QList<QByteArray> parts = line.mid(6).split(' ');
            const QStringList cells = QString::fromUtf8(line.mid(6 + parts[0].size() + 1)).split(QLatin1Char('|'));
            out.push_back({parts[0].toLongLong(), cells.value(3)});
        }
        return out;
    }

    // Resident memory of the program, in KiB.
    qint64 residentKiB() const { return testsupport::residentKiB(m_process.processId()); }

    // Watches until the table shows a quality that is wanted.
    bool waitForQuality(const std::function<bool(const QString &)> &wanted, int timeoutMs)
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < timeoutMs) {
            for (const Watched &w : lines())
                if (wanted(w.quality))
                    return true;
            QTest::qWait(50);
        }
        return false;
    }
    QString missing() const { return m_missing; }

private:
    QProcess m_process;
    QByteArray m_out;
    QString m_missing;
};

} // namespace

class TestUaProcess : public QObject {
    Q_OBJECT

private slots:
    void aResetLoop()
    {
        ScriptedServer server;
        Program program(server);
        QVERIFY(program.started());
        QVERIFY2(program.waitForQuality([](const QString &q) { return q == QStringLiteral("192"); }, 20000),
                 qPrintable(program.missing()));

        server.set([](ScriptedServer::Script &s) { s.resetAfterPublishes = 2; });
        server.resetAll();
        // For 20 s: every probe answered within a second, memory flat.
        QElapsedTimer clock;
        clock.start();
        qint64 last = -1, longest = 0, lowest = 0, highest = 0;
        while (clock.elapsed() < 20000) {
            for (const Watched &w : program.lines()) {
                if (last >= 0)
                    longest = std::max(longest, w.at - last);
                last = w.at;
            }
            const qint64 rss = program.residentKiB();
            if (clock.elapsed() > 3000) {
                lowest = lowest ? std::min(lowest, rss) : rss;
                highest = std::max(highest, rss);
            }
            QTest::qWait(200);
        }
        QVERIFY(last >= 0);
        QVERIFY2(longest <= 1200, qPrintable(QString::number(longest)));
        QVERIFY2(highest - lowest < 20 * 1024, qPrintable(QStringLiteral("%1 KiB to %2 KiB").arg(lowest).arg(highest)));
        QVERIFY(server.counts().connections > 3);

        // A healthy server again: values within 30 s.
        server.set([](ScriptedServer::Script &s) { s.resetAfterPublishes = 0; });
        QVERIFY(program.waitForQuality([](const QString &q) { return q == QStringLiteral("192"); }, 30000));
    }

    // The program picks the server in the node's listing and connects over
    // a link that holds every answer 100 ms: the endpoints the listing
    // fetched serve the connect, and the values arrive.
    void aServerPickedInTheListing()
    {
        ScriptedServer::Script script;
        script.answerDelayMs = 100;
        ScriptedServer server(script);
        Program program(server, true);
        QVERIFY(program.started());
        QVERIFY2(program.waitForQuality([](const QString &q) { return q == QStringLiteral("192"); }, 20000),
                 qPrintable(program.missing()));
        const auto counts = server.counts();
        QCOMPARE(counts.requestsOf(opc::ua::Id::GetEndpointsRequest), 1); // the listing's
        QCOMPARE(counts.opens, 2);                                          // the listing's, the session's
        QCOMPARE(counts.sessions, 1);
    }

    void aSilentServer()
    {
        ScriptedServer server;
        Program program(server);
        QVERIFY(program.started());
        QVERIFY2(program.waitForQuality([](const QString &q) { return q == QStringLiteral("192"); }, 20000),
                 qPrintable(program.missing()));
        server.set([](ScriptedServer::Script &s) { s.silent = true; });
        program.lines();
        const qint64 bound = opc::ua::keepAliveBoundMs(100, 10);
        QVERIFY(program.waitForQuality([](const QString &q) { return q == QStringLiteral("24"); }, int(bound + 5000)));
        server.set([](ScriptedServer::Script &s) { s.silent = false; });
        QVERIFY(program.waitForQuality([](const QString &q) { return q == QStringLiteral("192"); }, 30000));
    }
};

QTEST_GUILESS_MAIN(TestUaProcess)
#include "tst_uaprocess.moc"
