// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Servers and men in the middle of the tests' own making, each on a thread
// of its own (the bridge's calls block the thread that makes them): what a
// hostile or broken peer says, byte for byte.
#include "opc/ua/security/crypto.h"
#include "opc/ua/security/pki.h"
#include "opc/ua/security/securechunk.h"
#include "opc/ua/wire/services.h"

#include <QMetaObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QtEndian>
#include <atomic>
#include <functional>
#include <memory>

// Listens on 127.0.0.1 and serves each connection on its own thread.
// Whoever derives calls stop() first in its destructor: its members must
// outlive the connections it serves.
class ThreadedServer {
public:
    quint16 port() const { return m_port; }
    QString url() const { return QStringLiteral("opc.tcp://127.0.0.1:%1").arg(m_port); }

protected:
    ThreadedServer()
    {
        m_thread.start();
        m_context.moveToThread(&m_thread);
    }
    ~ThreadedServer() { stop(); }

    void listen(std::function<void(QTcpSocket *)> serve)
    {
        QMetaObject::invokeMethod(&m_context, [this, serve] {
            m_server = new QTcpServer;
            m_server->listen(QHostAddress::LocalHost, 0);
            m_port = m_server->serverPort();
            QObject::connect(m_server, &QTcpServer::newConnection, m_server, [this, serve] {
                QTcpSocket *socket = m_server->nextPendingConnection();
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                serve(socket);
            });
        }, Qt::BlockingQueuedConnection);
    }

    // Runs f on the server's thread and waits for it.
    void onServerThread(const std::function<void()> &f)
    {
        QMetaObject::invokeMethod(&m_context, f, Qt::BlockingQueuedConnection);
    }
    QObject *serverContext() { return &m_context; }

    void stop()
    {
        if (!m_thread.isRunning())
            return;
        QMetaObject::invokeMethod(&m_context, [this] { delete m_server; }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }

    // Each whole chunk that arrives on `from`, in order.
    static void onChunks(QTcpSocket *from, QObject *context, std::function<void(const QByteArray &)> chunk)
    {
        auto buffer = std::make_shared<QByteArray>();
        QObject::connect(from, &QTcpSocket::readyRead, context, [from, buffer, chunk] {
            *buffer += from->readAll();
            while (buffer->size() >= 8) {
                const quint32 size = qFromLittleEndian<quint32>(buffer->constData() + 4);
                if (size < 8 || buffer->size() < size)
                    return;
                const QByteArray whole = buffer->left(size);
                buffer->remove(0, size);
                chunk(whole);
            }
        });
    }

    // An Acknowledge naming these limits.
    static QByteArray acknowledge(uint32_t receive, uint32_t send, uint32_t maxMessage, uint32_t maxChunks)
    {
        opc::ua::Encoder e;
        e.raw("ACKF");
        e.uint32(28);
        for (uint32_t v : {0u, receive, send, maxMessage, maxChunks})
            e.uint32(v);
        return e.take();
    }

    // The start of an OpenSecureChannel answer: the response header, the
    // channel and a token of this lifetime, then the server's nonce.
    static QByteArray openAnswer(uint32_t requestHandle, uint32_t tokenId, uint32_t lifetimeMs, const QByteArray &nonce)
    {
        using namespace opc::ua;
        Encoder body;
        body.nodeId(NodeId::num(0, Id::OpenSecureChannelResponse));
        body.dateTime({});
        body.uint32(requestHandle);
        body.uint32(0);  // Good
        body.byte(0);    // no diagnostics
        body.int32(-1);  // no string table
        body.extensionObject({});
        body.uint32(0);  // protocol version
        body.uint32(1);  // channel id
        body.uint32(tokenId);
        body.dateTime({});
        body.uint32(lifetimeMs);
        body.byteString(nonce.isNull() ? ByteString{} : ByteString::of(nonce));
        return body.take();
    }

    // The answer to an OpenSecureChannel request without security: the
    // channel and its token, under the next sequence number.
    static QByteArray openWithoutSecurity(const QByteArray &request, uint32_t sequence)
    {
        using namespace opc::ua;
        Decoder d(request.mid(12));
        d.string();
        d.byteString();
        d.byteString();
        d.uint32();
        const uint32_t requestId = d.uint32();
        Encoder e;
        e.raw("OPNF");
        e.uint32(0);
        e.uint32(1);
        e.string(SecurityPolicyNone);
        e.byteString({});
        e.byteString({});
        e.uint32(sequence);
        e.uint32(requestId);
        e.raw(openAnswer(0, 1, 600000, {}));
        e.patchUInt32(4, static_cast<uint32_t>(e.size()));
        return e.take();
    }

private:
    QThread m_thread;
    QObject m_context;
    QTcpServer *m_server = nullptr;
    quint16 m_port = 0;
};

// Answers Hello with whatever Acknowledge it is given, opens a channel
// without security, and drops the connection at the first request it
// receives whole: what anyone can say before security starts.
class AckServer : public ThreadedServer {
public:
    struct Ack {
        uint32_t receiveBufferSize = 65536, sendBufferSize = 65536, maxMessageSize = 0, maxChunkCount = 0;
    };
    explicit AckServer(Ack ack)
    {
        listen([this, ack](QTcpSocket *socket) {
            onChunks(socket, socket, [this, socket, ack](const QByteArray &chunk) { answer(socket, chunk, ack); });
        });
    }
    ~AckServer() { stop(); }
    int opens() const { return m_opens; }
    // Requests that reached it whole (in as many chunks as they took).
    int requests() const { return m_requests; }

private:
    void answer(QTcpSocket *socket, const QByteArray &chunk, const Ack &ack)
    {
        using namespace opc::ua;
        if (chunk.startsWith("HEL")) {
            socket->write(acknowledge(ack.receiveBufferSize, ack.sendBufferSize, ack.maxMessageSize, ack.maxChunkCount));
        } else if (chunk.startsWith("OPN")) {
            ++m_opens;
            socket->write(openWithoutSecurity(chunk, 1));
        } else if (chunk.startsWith("MSGF")) {
            ++m_requests;
            socket->abort();
        }
    }

    std::atomic_int m_opens = 0, m_requests = 0;
};

// Opens secured channels of its own making: Basic256Sha256, its nonces of
// the length it is told, the token lifetimes it is told; after the first
// renewal it sends one chunk under the old token, `straggleMs` later.
class SecureServer : public ThreadedServer {
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
        listen([this](QTcpSocket *socket) {
            onChunks(socket, socket, [this, socket](const QByteArray &chunk) { answer(socket, chunk); });
        });
    }
    ~SecureServer() { stop(); }
    const QByteArray &certificate() const { return m_own.der; }
    int straggled() const { return m_straggled; }

private:
    static constexpr opc::ua::Policy P = opc::ua::Policy::Basic256Sha256;

    void answer(QTcpSocket *socket, const QByteArray &chunk)
    {
        using namespace opc::ua;
        if (chunk.startsWith("HEL"))
            return void(socket->write(acknowledge(65536, 65536, 0, 0)));
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
        Encoder asymmetric;
        asymmetric.string(QString::fromLatin1(traitsOf(P).uri));
        asymmetric.byteString(ByteString::of(m_own.der));
        asymmetric.byteString(ByteString::of(certificateThumbprint(clientCertificate)));
        Encoder e;
        e.raw("OPNF");
        e.uint32(0);
        e.uint32(1);
        e.raw(asymmetric.bytes());
        e.uint32(++m_sequence);
        e.uint32(requestId);
        e.raw(openAnswer(handle, renewal ? 2 : 1, renewal ? m_options.renewedLifetimeMs : m_options.lifetimeMs, serverNonce));
        socket->write(*secureAsymmetric(P, *m_key, *clientKey, static_cast<int>(asymmetric.size()), e.take()));
        if (renewal)
            QTimer::singleShot(m_options.straggleMs, socket, [this, socket, previous] { straggle(socket, previous); });
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
    std::atomic_int m_straggled = 0;
};

// Stands between the bridge and the peer and rewrites the endpoints of
// every GetEndpoints answer that goes by in the clear: what a man in the
// middle can do before any signature.
class EndpointRewriter : public ThreadedServer {
public:
    using Rewrite = std::function<void(std::vector<opc::ua::EndpointDescription> &)>;
    EndpointRewriter(quint16 upstreamPort, Rewrite rewrite) : m_rewrite(std::move(rewrite))
    {
        listen([this, upstreamPort](QTcpSocket *client) {
            auto *upstream = new QTcpSocket(client);
            upstream->connectToHost(QHostAddress::LocalHost, upstreamPort);
            QObject::connect(client, &QTcpSocket::readyRead, upstream, [client, upstream] { upstream->write(client->readAll()); });
            QObject::connect(upstream, &QTcpSocket::disconnected, client, &QTcpSocket::disconnectFromHost);
            onChunks(upstream, client, [this, client](const QByteArray &chunk) { client->write(pass(chunk)); });
        });
    }
    ~EndpointRewriter() { stop(); }
    int rewritten() const { return m_rewritten; }

private:
    static void encode(opc::ua::Encoder &e, const opc::ua::EndpointDescription &ep)
    {
        using namespace opc::ua;
        e.string(ep.endpointUrl);
        opc::ua::encode(e, ep.server);
        e.byteString(ep.serverCertificate);
        e.int32(ep.securityMode);
        e.string(ep.securityPolicyUri);
        e.array(ep.userIdentityTokens, [](Encoder &x, const UserTokenPolicy &p) {
            x.string(p.policyId);
            x.int32(p.tokenType);
            x.string(p.issuedTokenType);
            x.string(p.issuerEndpointUrl);
            x.string(p.securityPolicyUri);
        });
        e.string(ep.transportProfileUri);
        e.byte(ep.securityLevel);
    }

    // A whole chunk from the server, rewritten when it is an unsigned
    // GetEndpoints answer.
    QByteArray pass(const QByteArray &chunk)
    {
        using namespace opc::ua;
        constexpr qsizetype Headers = 24; // message, token, sequence
        if (!chunk.startsWith("MSGF"))
            return chunk;
        try {
            Decoder d(chunk.mid(Headers));
            if (decodeResponseStart(d).typeId != Id::GetEndpointsResponse)
                return chunk;
            const QByteArray header = chunk.mid(Headers, d.position());
            auto endpoints = d.array([](Decoder &x) { return decodeEndpointDescription(x); });
            m_rewrite(endpoints);
            Encoder body;
            body.raw(header);
            body.array(endpoints, [](Encoder &x, const EndpointDescription &ep) { encode(x, ep); });
            QByteArray out = chunk.left(Headers) + body.bytes();
            qToLittleEndian<quint32>(static_cast<quint32>(out.size()), out.data() + 4);
            ++m_rewritten;
            return out;
        } catch (const DecodeError &) {
            return chunk;
        }
    }

    Rewrite m_rewrite;
    std::atomic_int m_rewritten = 0;
};
