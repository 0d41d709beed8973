// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/automation.h"
#include "opc/ua/security/crypto.h"
#include "opc/ua/security/pki.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <QElapsedTimer>
#include <QProcess>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <atomic>
#include <QTest>

// How the peer is made. By default it has a certificate of its own made
// here (2048 bits, urn:quorivo:peer, 127.0.0.1 and localhost), and the
// bridge and the peer trust each other: a connect by bare server URI takes
// the most secure endpoint.
struct PeerOptions {
    int sessionTimeoutMs = 0;
    int keyBits = 2048;
    QStringList hosts{QStringLiteral("127.0.0.1"), QStringLiteral("localhost")};
    int validFromDays = -1;
    int validForDays = 5 * 365;
    QString policies;          // short names, comma-separated; all when empty
    bool peerTrustsUs = true;  // our certificate in the peer's trusted folder
    bool weTrustPeer = true;   // the peer's certificate in ours
    bool emulateSiemens = false; // user token policies naming their own security policy
    bool light = false;          // no conformance nodes, no 10,000 Doubles: quick to start
    QString resourcePath;        // the endpoints' path, none when empty; sessions must name it exactly
    bool clearPassword = false;  // the open endpoint takes the password unencrypted, first
    QString modifySubscription;  // "refuse" or "stale": a server that will not modify a subscription
};

// The PKI the bridge uses in this test program: its own, so parallel test
// programs do not make certificates over each other's.
inline QString testPki()
{
    static const QString root = [] {
        const QString dir = QStringLiteral(QUORIVO_UA_PEER_PKI "/client-") + QCoreApplication::applicationName();
        QDir(dir + QStringLiteral("/trusted/certs")).removeRecursively(); // last run's peers
        qputenv("QUORIVO_PKI", dir.toUtf8());
        return dir;
    }();
    return root;
}

inline QByteArray pemOf(const QByteArray &der)
{
    QByteArray out = "-----BEGIN CERTIFICATE-----\n";
    const QByteArray b64 = der.toBase64();
    for (qsizetype i = 0; i < b64.size(); i += 64)
        out += b64.mid(i, 64) + '\n';
    return out + "-----END CERTIFICATE-----\n";
}

inline bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

// The node-opcua test peer, started on a free port of 127.0.0.1 for the
// life of the object.
class UaPeer {
public:
    UaPeer() { start(); }
    // A peer that grants sessions of at most this many milliseconds.
    explicit UaPeer(int sessionTimeoutMs) : UaPeer(withSessionTimeout(sessionTimeoutMs)) {}
    explicit UaPeer(const PeerOptions &options) : m_options(options) { start(); }
    ~UaPeer() { stop(); }

    bool available() const { return m_ready; }
    QString why() const { return m_why; }
    quint16 port() const { return m_port; }
    QString url() const { return QStringLiteral("opc.tcp://127.0.0.1:%1").arg(m_port); }
    // The peer's certificate (DER) and its PKI folder.
    const QByteArray &certificate() const { return m_certificate; }
    static QString pki() { return QStringLiteral(QUORIVO_UA_PEER_PKI); }
    // Moves the bridge's certificate to where the peer looks for trusted
    // ones, as an operator does: out of rejected/ (which the peer believes
    // first), into trusted/.
    static bool trustBridge(const QString &clientPki = testPki())
    {
        const auto own = opc::ua::Pki(clientPki).own();
        if (!own)
            return false;
        const QString thumbprint = QString::fromLatin1(opc::ua::certificateThumbprint(own->der).toHex());
        const QDir rejected(pki() + QStringLiteral("/server/rejected"));
        for (const QString &name : rejected.entryList({QLatin1Char('*') + thumbprint + QLatin1Char('*')}, QDir::Files))
            QFile::remove(rejected.filePath(name));
        return writeFile(pki() + QStringLiteral("/server/trusted/certs/quorivo-%1.pem").arg(thumbprint), pemOf(own->der));
    }

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

    // A new certificate at the next start(), in the bridge's trusted folder
    // or not (the old one stays there).
    void renewCertificate(bool trustedByUs)
    {
        m_certificate.clear();
        m_options.weTrustPeer = trustedByUs;
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
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (!makeCertificate(env))
            return false;
        m_process.setWorkingDirectory(dir);
        if (m_options.sessionTimeoutMs > 0)
            env.insert(QStringLiteral("PEER_SESSION_TIMEOUT_MS"), QString::number(m_options.sessionTimeoutMs));
        if (!m_options.policies.isEmpty())
            env.insert(QStringLiteral("PEER_POLICIES"), m_options.policies);
        if (!m_options.resourcePath.isEmpty()) {
            env.insert(QStringLiteral("PEER_RESOURCE_PATH"), m_options.resourcePath);
            env.insert(QStringLiteral("NODEOPCUA_SERVER_REQUEST_EXACT_ENDPOINT_URL"), QStringLiteral("1"));
        }
        if (m_options.light)
            env.insert(QStringLiteral("PEER_LIGHT"), QStringLiteral("1"));
        if (!m_options.modifySubscription.isEmpty())
            env.insert(QStringLiteral("PEER_MODIFY_SUBSCRIPTION"), m_options.modifySubscription);
        if (m_options.clearPassword)
            env.insert(QStringLiteral("PEER_CLEAR_PASSWORD"), QStringLiteral("1"));
        if (m_options.emulateSiemens)
            env.insert(QStringLiteral("NODEOPCUA_SERVER_EMULATE_SIEMENS"), QStringLiteral("1"));
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.start(QStringLiteral("node"), {dir + QStringLiteral("/peer.js"), QString::number(m_port), pki()});
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
        const QByteArray answer = ask("close-sessions", "closed ");
        return answer.isNull() ? -1 : answer.toInt();
    }

    // What a variable holds now, as node-opcua reads it (JSON); null when
    // the peer did not answer.
    QByteArray value(const QString &nodeId) { return ask("value " + nodeId.toUtf8(), "value "); }

private:
    // A command on the peer's standard input, and the rest of the line of
    // its answer.
    QByteArray ask(const QByteArray &command, const QByteArray &answer)
    {
        m_process.write(command + '\n');
        for (int i = 0; i < 50; ++i) {
            m_process.waitForReadyRead(100);
            m_log += m_process.readAllStandardOutput();
            const qsizetype at = m_log.indexOf(answer, m_answered);
            const qsizetype end = at < 0 ? -1 : m_log.indexOf('\n', at);
            if (end >= 0) {
                m_answered = end + 1;
                return m_log.mid(at + answer.size(), end - at - answer.size());
            }
        }
        return {};
    }

    static PeerOptions withSessionTimeout(int ms)
    {
        PeerOptions options;
        options.sessionTimeoutMs = ms;
        return options;
    }

    // The peer's certificate, made once per peer and kept across restarts.
    bool makeCertificate(QProcessEnvironment &env)
    {
        const QString base = pki() + QStringLiteral("/peer-%1").arg(m_port);
        if (m_certificate.isEmpty()) {
            const QDateTime now = QDateTime::currentDateTimeUtc();
            const auto made = opc::ua::makeApplicationCertificate(
                QStringLiteral("urn:quorivo:peer"), m_options.hosts, now.addDays(m_options.validFromDays),
                now.addDays(m_options.validFromDays + m_options.validForDays), m_options.keyBits, QStringLiteral("QuorivoPeer"));
            if (!made || !writeFile(base + QStringLiteral(".pem"), pemOf(made->der)) ||
                !writeFile(base + QStringLiteral(".key"), made->privateKeyPem)) {
                m_why = QStringLiteral("could not make the peer's certificate");
                return false;
            }
            m_certificate = made->der;
            const QString ours = testPki();
            if (m_options.weTrustPeer)
                writeFile(ours + QStringLiteral("/trusted/certs/peer-%1.der").arg(m_port), m_certificate);
            if (m_options.peerTrustsUs && !trustBridge(ours)) {
                m_why = QStringLiteral("could not make the bridge's certificate");
                return false;
            }
        }
        env.insert(QStringLiteral("PEER_CERT"), base + QStringLiteral(".pem"));
        env.insert(QStringLiteral("PEER_KEY"), base + QStringLiteral(".key"));
        return true;
    }

    PeerOptions m_options;
    QByteArray m_certificate;
    qsizetype m_answered = 0;
    QByteArray m_log;
    QProcess m_process;
    quint16 m_port = 0;
    bool m_ready = false;
    QString m_why;
};

// Stands between the channel and the peer and, once armed, flips one bit
// of the next chunk the server sends: a byte changed in flight.
class FlipProxy : public QObject {
public:
    explicit FlipProxy(quint16 upstreamPort) : m_upstreamPort(upstreamPort)
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] {
            QTcpSocket *client = m_server.nextPendingConnection();
            auto *upstream = new QTcpSocket(client);
            upstream->connectToHost(QHostAddress::LocalHost, m_upstreamPort);
            QObject::connect(client, &QTcpSocket::readyRead, upstream, [client, upstream] {
                upstream->write(client->readAll());
            });
            QObject::connect(upstream, &QTcpSocket::readyRead, client, [this, client, upstream] {
                QByteArray bytes = upstream->readAll();
                if (m_armed && bytes.size() > 40) {
                    bytes[40] = static_cast<char>(bytes[40] ^ 0x01);
                    m_armed = false;
                    ++m_flipped;
                }
                client->write(bytes);
            });
            QObject::connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
        });
    }
    quint16 port() const { return m_server.serverPort(); }
    QString url() const { return QStringLiteral("opc.tcp://127.0.0.1:%1").arg(port()); }
    void arm() { m_armed = true; }
    int flipped() const { return m_flipped; }

private:
    QTcpServer m_server;
    quint16 m_upstreamPort;
    std::atomic_bool m_armed = false;
    std::atomic_int m_flipped = 0;
};

// The proxy on a thread of its own, for callers that block while they
// wait (the bridge's calls run no event loop).
class ThreadedFlipProxy {
public:
    explicit ThreadedFlipProxy(quint16 upstreamPort)
    {
        m_thread.start();
        m_context.moveToThread(&m_thread);
        QMetaObject::invokeMethod(&m_context, [this, upstreamPort] { m_proxy = new FlipProxy(upstreamPort); },
                                  Qt::BlockingQueuedConnection);
    }
    ~ThreadedFlipProxy()
    {
        QMetaObject::invokeMethod(&m_context, [this] { delete m_proxy; }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }
    QString url() const { return m_proxy->url(); }
    void arm() { m_proxy->arm(); }
    int flipped() const { return m_proxy->flipped(); }

private:
    QThread m_thread;
    QObject m_context;
    FlipProxy *m_proxy = nullptr;
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
