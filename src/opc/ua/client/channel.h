// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/ua/client/transport.h"
#include "opc/ua/wire/binary.h"
#include "opc/ua/security/crypto.h"
#include "opc/ua/security/securechunk.h"
#include "opc/ua/security/securitypolicy.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>

class QTcpSocket;

namespace opc::ua {

// The answer to one request: the whole response message, or the error
// number of a failure of the channel itself (unreachable, timed out, closed).
struct Reply {
    int32_t error = 0;
    QByteArray message;
};

// How a channel is secured: a policy and mode, our certificate and key,
// and the server's certificate as its endpoint gave it.
struct ChannelSecurity {
    Policy policy = Policy::None;
    SecurityMode mode = SecurityMode::None;
    QByteArray ownCertificate;
    QString ownApplicationUri; // the one in its alternative names: sessions present it
    std::optional<RsaKey> ownKey;
    QByteArray serverCertificate;
    std::optional<RsaKey> serverKey;
    bool secured() const { return policy != Policy::None && mode != SecurityMode::None; }
};

// The most a discovery answer (FindServers, GetEndpoints) may take: it
// comes before any authentication, and a server's own description is a few
// kilobytes.
constexpr uint32_t MaxDiscoveryReply = 1u << 20;

// One UA TCP connection with its secure channel. Lives on the bridge's
// worker thread; every member is called there. Messages go out in chunks
// that fit the peer's receive buffer; chunked responses are reassembled
// and matched to their requests by request id, in whatever order they come.
// Without security the channel uses policy None; with it, every chunk is
// signed (and encrypted) as its policy says, and a chunk that fails to
// verify, or comes out of sequence, closes the channel.
// A received chunk that fails its signature, padding, token, sequence or
// security header checks.
class SecurityCheckFailed : public DecodeError {
public:
    using DecodeError::DecodeError;
};

class Channel : public QObject {
    Q_OBJECT
public:
    using Done = std::function<void(int32_t error)>;
    using Callback = std::function<void(const Reply &)>;

    explicit Channel(QObject *parent = nullptr);
    ~Channel() override;

    // Connects, says Hello and opens the secure channel.
    void open(const QString &host, quint16 port, const QString &endpointUrl, int timeoutMs, Done done);
    // Sends a request message (encoding id, header, body); the callback
    // runs exactly once. An answer longer than maxReplyBytes (when given)
    // or than our message size fails it.
    void request(const QByteArray &message, int timeoutMs, Callback callback, uint32_t maxReplyBytes = 0);
    // Sends CloseSecureChannel and drops the connection; pending requests
    // fail.
    void close();
    // Drops the connection as a loss does: pending requests fail and lost
    // is emitted, so the owner reconnects.
    void drop(int32_t error) { fail(error); }
    bool isOpen() const { return m_state == State::Open; }

    // Set before open(); a renewal keeps it.
    void setSecurity(ChannelSecurity security) { m_security = std::move(security); }
    const ChannelSecurity &security() const { return m_security; }

    // Our side's limits, for tests that want small chunks.
    void setLocalLimits(const TransportLimits &limits) { m_local = limits; }
    // What the server's Acknowledge left us, cut to what we asked.
    const TransportLimits &peerLimits() const { return m_peer; }
    // Asks for this token lifetime; renewal comes at three quarters of the
    // revised one.
    void setRequestedLifetime(uint32_t ms) { m_requestedLifetime = ms; }
    uint32_t tokenId() const { return m_tokenId; }
    int renewals() const { return m_renewals; }

    // For tests and fuzzing: an open channel without a socket. Requests go
    // nowhere; received bytes come through feed().
    void openDetached(const TransportLimits &peer = {});
    // The same, secured under this token with these keys (SignAndEncrypt
    // or Sign as `security` says; its certificates are not needed).
    void openDetached(const TransportLimits &peer, const ChannelSecurity &security, uint32_t tokenId,
                      const SymmetricKeys &sending, const SymmetricKeys &receiving);
    void feed(const QByteArray &bytes);

signals:
    // The connection has gone (peer closed, network error, protocol error).
    void lost(int32_t error);

private:
    enum class State { Closed, Connecting, Hello, Opening, Open };
    struct Pending {
        Callback callback;
        qint64 deadline;
        QByteArray partial;
        int chunks = 0;
        uint32_t maxBytes = 0; // 0: our message size
    };

    void onConnected();
    void onReadyRead();
    void onSocketError();
    void handleChunk(const QByteArray &type, char chunkType, const QByteArray &chunk);
    // The chunk as plain text, checked; throws DecodeError when it fails.
    QByteArray unsecure(const QByteArray &type, const QByteArray &chunk);
    void takeToken(uint32_t tokenId, uint32_t lifetimeMs, const ByteString &serverNonce, const QByteArray &clientNonce);
    void sendOpen(bool renew);
    void sendChunks(const char *type, uint32_t requestId, const QByteArray &body);
    void finishOpen(int32_t error);
    void fail(int32_t error);
    static int32_t failureOf(const DecodeError &e, bool open);
    void deliver(uint32_t requestId, const Reply &reply);
    void checkDeadlines();

    QTcpSocket *m_socket = nullptr;
    State m_state = State::Closed;
    QString m_endpointUrl;
    QByteArray m_buffer;
    TransportLimits m_local;
    TransportLimits m_peer;
    uint32_t m_channelId = 0;
    uint32_t m_tokenId = 0;
    uint32_t m_sequence = 0;
    uint32_t m_requestId = 0;
    uint32_t m_requestedLifetime = 600000;
    int m_renewals = 0;
    bool m_closing = false; // a close of our own is no loss
    QHash<uint32_t, Pending> m_pending;
    Done m_openDone;
    QTimer m_deadlines;
    QTimer m_renew;
    ChannelSecurity m_security;
    QByteArray m_clientNonce;          // of the open or renewal under way
    SymmetricKeys m_sending;           // the current token's, ours
    SymmetricKeys m_receiving;         // the current token's, the server's
    uint32_t m_previousTokenId = 0;    // still accepted until the server uses the new one
    qint64 m_previousUntil = 0;        // or until then
    SymmetricKeys m_previousReceiving;
    uint32_t m_receivedSequence = 0;
    bool m_sequenceStarted = false;
    QTimer m_connectTimeout;
};

} // namespace opc::ua
