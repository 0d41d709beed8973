#pragma once

#include "opc/automation.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QString>
#include <QTcpServer>
#include <QTest>

// The node-opcua test peer, started on a free port of 127.0.0.1 for the
// life of the object.
class UaPeer {
public:
    UaPeer() { start(); }
    // A peer that grants sessions of at most this many milliseconds.
    explicit UaPeer(int sessionTimeoutMs) : m_sessionTimeoutMs(sessionTimeoutMs) { start(); }
    ~UaPeer() { stop(); }

    bool available() const { return m_ready; }
    QString why() const { return m_why; }
    quint16 port() const { return m_port; }
    QString url() const { return QStringLiteral("opc.tcp://127.0.0.1:%1").arg(m_port); }

    void stop()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.waitForReadyRead(50);
            m_log += m_process.readAllStandardOutput();
            m_process.kill();
            m_process.waitForFinished(5000);
            m_log += m_process.readAllStandardOutput();
        }
        m_ready = false;
    }

    // Starts again on the same port (after stop()).
    bool start()
    {
        const QString dir = QStringLiteral(QUORIVO_UA_PEER_DIR);
        if (!QFile::exists(dir + QStringLiteral("/node_modules/node-opcua/package.json"))) {
            m_why = QStringLiteral("node-opcua is not installed in ") + dir + QStringLiteral(" (npm ci)");
            return false;
        }
        if (m_port == 0) {
            QTcpServer probe;
            probe.listen(QHostAddress::LocalHost, 0);
            m_port = probe.serverPort();
        }
        m_process.setWorkingDirectory(dir);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (m_sessionTimeoutMs > 0)
            env.insert(QStringLiteral("PEER_SESSION_TIMEOUT_MS"), QString::number(m_sessionTimeoutMs));
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.start(QStringLiteral("node"), {dir + QStringLiteral("/peer.js"), QString::number(m_port),
                                                 QStringLiteral(QUORIVO_UA_PEER_PKI)});
        QByteArray out;
        for (int i = 0; i < 600 && !out.contains("ready"); ++i) {
            m_process.waitForReadyRead(100);
            out += m_process.readAllStandardOutput();
            if (m_process.state() == QProcess::NotRunning)
                break;
        }
        m_ready = out.contains("ready");
        m_log += out;
        if (!m_ready)
            m_why = QStringLiteral("the peer did not start: ") + QString::fromLocal8Bit(m_process.readAllStandardError().right(2000));
        return m_ready;
    }

    // Login attempts the peer has seen since it was made, across restarts.
    int logins(const char *verdict) { return said(QByteArray("login ") + verdict); }
    // Sessions the peer has made since it was made, across restarts.
    int sessionsCreated() { return said("session created"); }

    // How often the peer has said this line so far.
    int said(const QByteArray &line)
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.waitForReadyRead(50);
            m_log += m_process.readAllStandardOutput();
        }
        return static_cast<int>(m_log.count(line));
    }

    // Closes every session on the peer, as a server does at its timeout;
    // the number closed, or -1 when the peer did not answer.
    int closeSessions()
    {
        m_process.write("close-sessions\n");
        for (int i = 0; i < 50; ++i) {
            m_process.waitForReadyRead(100);
            m_log += m_process.readAllStandardOutput();
            const qsizetype at = m_log.lastIndexOf("closed ");
            if (at >= m_answered) {
                m_answered = at + 1;
                const qsizetype end = m_log.indexOf('\n', at);
                return m_log.mid(at + 7, end - at - 7).toInt();
            }
        }
        return -1;
    }

private:
    qsizetype m_answered = 0;
    int m_sessionTimeoutMs = 0;
    QByteArray m_log;
    QProcess m_process;
    quint16 m_port = 0;
    bool m_ready = false;
    QString m_why;
};

// Reads the item from the cache until its quality is what is wanted.
inline bool waitForQuality(OPCAutomation::OPCItem &item, const std::function<bool(int32_t)> &wanted, int timeoutMs = 8000)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < timeoutMs) {
        item.Read(OPCAutomation::OPCCache);
        if (wanted(item.Quality()))
            return true;
        QTest::qWait(50);
    }
    return false;
}

// The peer is required where the test command installed it.
#define REQUIRE_PEER(peer)                                                                                            \
    do {                                                                                                               \
        if (!(peer).available()) {                                                                                     \
            if (qEnvironmentVariableIsSet("QUORIVO_REQUIRE_UA_PEER"))                                                 \
                QFAIL(qPrintable((peer).why()));                                                                       \
            QSKIP(qPrintable((peer).why()));                                                                           \
        }                                                                                                              \
    } while (0)
