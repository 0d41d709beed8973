// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/ua/security/crypto.h"
#include "opc/ua/security/pki.h"
#include "opc/ua/security/securechunk.h"
#include "opc/ua/wire/binary.h"

#include <QTimer>

#include <QMetaObject>
#include <QtEndian>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <atomic>
#include <memory>

// A server on a thread of its own that answers Hello with whatever
// Acknowledge it is given, opens a channel without security, and drops
// the connection at the first request it receives whole: what anyone can
// say before security starts. On its own thread, as the bridge's calls
// block the thread that makes them.
class AckServer {
public:
    struct Ack {
        uint32_t receiveBufferSize = 65536, sendBufferSize = 65536, maxMessageSize = 0, maxChunkCount = 0;
    };
    explicit AckServer(Ack ack)
    {
        m_thread.start();
        m_context.moveToThread(&m_thread);
        QMetaObject::invokeMethod(&m_context, [this, ack] { listen(ack); }, Qt::BlockingQueuedConnection);
    }
    ~AckServer()
    {
        QMetaObject::invokeMethod(&m_context, [this] { delete m_server; }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }
    quint16 port() const { return m_port; }
    QString url() const { return QStringLiteral("opc.tcp://127.0.0.1:%1").arg(m_port); }
    int opens() const { return m_opens; }
    // Requests that reached it whole (in as many chunks as they took).
    int requests() const { return m_requests; }

private:
    void listen(Ack ack)
    {
        m_server = new QTcpServer;
        m_server->listen(QHostAddress::LocalHost, 0);
        m_port = m_server->serverPort();
        QObject::connect(m_server, &QTcpServer::newConnection, m_server, [this, ack] {
            QTcpSocket *socket = m_server->nextPendingConnection();
            auto buffer = std::make_shared<QByteArray>();
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, ack, buffer] {
                *buffer += socket->readAll();
                while (buffer->size() >= 8) {
                    const uint32_t size = qFromLittleEndian<quint32>(buffer->constData() + 4);
                    if (size < 8 || buffer->size() < size)
                        return;
                    const QByteArray chunk = buffer->left(size);
                    buffer->remove(0, size);
                    answer(socket, chunk, ack);
                }
            });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        });
    }

    void answer(QTcpSocket *socket, const QByteArray &chunk, const Ack &ack)
    {
        using namespace opc::ua;
        if (chunk.startsWith("HEL")) {
            Encoder e;
            e.raw("ACKF");
            e.uint32(28);
            e.uint32(0);
            for (uint32_t v : {ack.receiveBufferSize, ack.sendBufferSize, ack.maxMessageSize, ack.maxChunkCount})
                e.uint32(v);
            socket->write(e.bytes());
        } else if (chunk.startsWith("OPN")) {
            ++m_opens;
            Decoder d(chunk.mid(12));
            d.string();
            d.byteString();
            d.byteString();
            d.uint32();
            const uint32_t requestId = d.uint32();
            Encoder body;
            body.nodeId(NodeId::num(0, 449)); // OpenSecureChannelResponse
            body.dateTime({});
            body.uint32(0);
            body.uint32(0);   // Good
            body.byte(0);     // no diagnostics
            body.int32(-1);   // no string table
            body.nodeId({});  // no additional header
            body.byte(0);
            body.uint32(0);   // protocol version
            body.uint32(1);   // channel id
            body.uint32(1);   // token id
            body.dateTime({});
            body.uint32(600000);
            body.byteString({});
            Encoder e;
            e.raw("OPNF");
            e.uint32(0);
            e.uint32(1);
            e.string(QStringLiteral("http://opcfoundation.org/UA/SecurityPolicy#None"));
            e.byteString({});
            e.byteString({});
            e.uint32(1);
            e.uint32(requestId);
            e.raw(body.bytes());
            e.patchUInt32(4, static_cast<uint32_t>(e.size()));
            socket->write(e.bytes());
        } else if (chunk.startsWith("MSGF")) {
            ++m_requests;
            socket->abort();
        }
    }

    QThread m_thread;
    QObject m_context;
    QTcpServer *m_server = nullptr;
    quint16 m_port = 0;
    std::atomic_int m_opens = 0, m_requests = 0;
};

// A server of its own making for the secured channel's opening, on a
// thread of its own: Basic256Sha256, its nonces of the length it is told,
// the token lifetimes it is told; after the first renewal it sends one chunk
// under the old token, `straggleMs` later.
class SecureServer {
public:
    struct Options {
        int nonceLength = 32;
        uint32_t lifetimeMs = 1000, renewedLifetimeMs = 400;
        int straggleMs = 0;
    };
    explicit SecureServer(Options options) : m_options(options)
    {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        m_own = *opc::ua::makeApplicationCertificate(QStringLiteral("urn:fake"), {QStringLiteral("127.0.0.1")}, now.addDays(-1),
                                                     now.addDays(1));
        m_key = opc::ua::RsaKey::fromPrivateKeyPem(m_own.privateKeyPem);
        m_thread.start();
        m_context.moveToThread(&m_thread);
        QMetaObject::invokeMethod(&m_context, [this] { listen(); }, Qt::BlockingQueuedConnection);
    }
    ~SecureServer()
    {
        QMetaObject::invokeMethod(&m_context, [this] { delete m_server; }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }
    quint16 port() const { return m_port; }
    const QByteArray &certificate() const { return m_own.der; }
    int straggled() const { return m_straggled; }

private:
    static constexpr opc::ua::Policy P = opc::ua::Policy::Basic256Sha256;

    void listen()
    {
        m_server = new QTcpServer;
        m_server->listen(QHostAddress::LocalHost, 0);
        m_port = m_server->serverPort();
        QObject::connect(m_server, &QTcpServer::newConnection, m_server, [this] {
            QTcpSocket *socket = m_server->nextPendingConnection();
            auto buffer = std::make_shared<QByteArray>();
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
                *buffer += socket->readAll();
                while (buffer->size() >= 8 && buffer->size() >= qFromLittleEndian<quint32>(buffer->constData() + 4)) {
                    const QByteArray chunk = buffer->left(qFromLittleEndian<quint32>(buffer->constData() + 4));
                    buffer->remove(0, chunk.size());
                    answer(socket, chunk);
                }
            });
        });
    }

    void answer(QTcpSocket *socket, const QByteArray &chunk)
    {
        using namespace opc::ua;
        if (chunk.startsWith("HEL")) {
            Encoder e;
            e.raw("ACKF");
            e.uint32(28);
            for (uint32_t v : {0u, 65536u, 65536u, 0u, 0u})
                e.uint32(v);
            socket->write(e.bytes());
            return;
        }
        if (!chunk.startsWith("OPN"))
            return;
        Decoder header(chunk.mid(12));
        header.string();
        const QByteArray clientCertificate = header.byteString().data;
        header.byteString();
        const int headerLength = static_cast<int>(header.position());
        const auto clientKey = RsaKey::fromCertificate(clientCertificate);
        const auto plain = openAsymmetric(P, *m_key, *clientKey, headerLength, chunk);
        if (!plain)
            return socket->abort();
        Decoder d(plain->mid(12 + headerLength));
        d.uint32();
        const uint32_t requestId = d.uint32();
        d.nodeId();
        d.nodeId();
        d.dateTime();
        const uint32_t handle = d.uint32();
        d.uint32();
        d.string();
        d.uint32();
        d.extensionObject();
        d.uint32();
        const bool renewal = d.int32() == 1;
        d.int32();
        const QByteArray clientNonce = d.byteString().data;
        const QByteArray serverNonce = secureRandom(m_options.nonceLength);
        const SymmetricKeys previous = m_keys;
        m_keys = deriveKeys(P, clientNonce, serverNonce);
        Encoder body;
        body.nodeId(NodeId::num(0, 449));
        body.dateTime({});
        body.uint32(handle);
        body.uint32(0);
        body.byte(0);
        body.int32(-1);
        body.nodeId({});
        body.byte(0);
        body.uint32(0);
        body.uint32(1);                 // channel id
        body.uint32(renewal ? 2 : 1);   // token id
        body.dateTime({});
        body.uint32(renewal ? m_options.renewedLifetimeMs : m_options.lifetimeMs);
        body.byteString(ByteString::of(serverNonce));
        Encoder e;
        e.raw("OPNF");
        e.uint32(0);
        e.uint32(1);
        e.string(QString::fromLatin1(traitsOf(P).uri));
        e.byteString(ByteString::of(m_own.der));
        e.byteString(ByteString::of(certificateThumbprint(clientCertificate)));
        e.uint32(++m_sequence);
        e.uint32(requestId);
        e.raw(body.bytes());
        socket->write(*secureAsymmetric(P, *m_key, *clientKey, ourHeaderLength(), e.take()));
        if (renewal)
            QTimer::singleShot(m_options.straggleMs, socket, [this, socket, previous] { straggle(socket, previous); });
    }

    int ourHeaderLength() const
    {
        opc::ua::Encoder e;
        e.string(QString::fromLatin1(opc::ua::traitsOf(P).uri));
        e.byteString(opc::ua::ByteString::of(m_own.der));
        e.byteString(opc::ua::ByteString::of(QByteArray(20, '\0')));
        return static_cast<int>(e.size());
    }

    // An answer to no request, under the token the renewal replaced.
    void straggle(QTcpSocket *socket, const opc::ua::SymmetricKeys &oldKeys)
    {
        using namespace opc::ua;
        Encoder e;
        e.raw("MSGF");
        e.uint32(0);
        e.uint32(1);
        e.uint32(1);
        e.uint32(++m_sequence);
        e.uint32(999);
        e.raw("late");
        socket->write(*secureSymmetric(P, SecurityMode::SignAndEncrypt, oldKeys, e.take()));
        ++m_straggled;
    }

    Options m_options;
    opc::ua::OwnCertificate m_own;
    std::optional<opc::ua::RsaKey> m_key;
    opc::ua::SymmetricKeys m_keys;
    uint32_t m_sequence = 0;
    QThread m_thread;
    QObject m_context;
    QTcpServer *m_server = nullptr;
    quint16 m_port = 0;
    std::atomic_int m_straggled = 0;
};
