// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/ua/client/transport.h"
#include "opc/ua/wire/binary.h"
#include "opc/ua/security/crypto.h"
#include "opc/ua/security/securechunk.h"
#include "opc/ua/security/securitypolicy.h"

#include <QByteArray>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QTimer>
#include <atomic>
#include <functional>
#include <memory>
#include <vector>


namespace opc::ua {

// The answer to one request: the whole response message, or the error
// number of a failure of the channel itself (unreachable, timed out, closed).
struct Reply {
    int32_t error = 0;
    QByteArray message;
    bool timedOut = false; // no answer within the request's time
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

// A received chunk that fails its signature, padding, token, sequence or
// security header checks.
class SecurityCheckFailed : public DecodeError {
public:
    using DecodeError::DecodeError;
};

class StreamSocket;

// One UA TCP connection with its secure channel. It lives on the bridge's
// worker thread, where everything it does happens but the sending of a
// request, which any thread may do (under the channel's lock, so a caller
// need not wake the worker to send). Messages go out in chunks that fit the
// peer's receive buffer, built in one buffer kept for the purpose; chunked
// responses are reassembled and matched to their requests by request id, in
// whatever order they come. Without security the channel uses policy None;
// with it, every chunk is signed (and encrypted) as its policy says, and a
// chunk that fails to verify, or comes out of sequence, closes the channel.
class Channel : public QObject {
    Q_OBJECT
public:
    using Done = std::function<void(int32_t error)>;
    using Callback = std::function<void(const Reply &)>;

    explicit Channel(QObject *parent = nullptr);
    ~Channel() override;

    // Connects, says Hello and opens the secure channel.
    void open(const QString &host, quint16 port, const QString &endpointUrl, int timeoutMs, Done done);
    // Sends a request message (encoding id, header, body), from any thread.
    // The callback runs exactly once: on the channel's thread with the
    // answer, or at once when the request cannot go. An answer longer than
    // maxReplyBytes (when given) or than our message size fails it.
    void request(QByteArrayView message, int timeoutMs, Callback callback, uint32_t maxReplyBytes = 0);
    // The same, but a request that cannot go is refused by the error
    // returned, its callback left to the caller unheard: for a caller that
    // holds a lock of its own the callback might want.
    std::optional<int32_t> tryRequest(QByteArrayView message, int timeoutMs, Callback &&callback, uint32_t maxReplyBytes = 0);
    // Sends CloseSecureChannel and drops the connection; pending requests
    // fail.
    void close();
    // Drops the connection as a loss does: pending requests fail and lost
    // is emitted, so the owner reconnects.
    void drop(int32_t error) { fail(error); }
    bool isOpen() const { return m_state == State::Open; }
    // Wipes the buffer the last chunks were made in: after one that carried
    // a password in the clear.
    void forgetSent();

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
    uint32_t tokenId() const;
    int renewals() const { return m_renewals; }

    // For tests and fuzzing: an open channel without a socket. Requests go
    // nowhere; received bytes come through feed().
    void openDetached(const TransportLimits &peer = {});
    // The same, secured under this token with these keys (SignAndEncrypt
    // or Sign as `security` says; its certificates are not needed).
    void openDetached(const TransportLimits &peer, const ChannelSecurity &security, uint32_t tokenId,
                      const SymmetricKeys &sending, const SymmetricKeys &receiving);
    void feed(QByteArrayView bytes);

signals:
    // The connection has gone (peer closed, network error, protocol error).
    void lost(int32_t error);

private:
    // Broken: a send failed; nothing more goes out, and the worker drops
    // the connection as lost at its next turn.
    enum class State { Closed, Connecting, Hello, Opening, Open, Broken };
    struct Pending {
        uint32_t requestId;
        Callback callback;
        qint64 deadline;
        QByteArray partial;
        int chunks = 0;
        uint32_t maxBytes = 0; // 0: our message size
    };
    // An answer to hand over once the lock is let go.
    struct Delivery {
        Callback callback;
        Reply reply;
    };
    using Deliveries = std::vector<Delivery>;

    // Open, or open until a send failed a moment ago.
    bool wasOpened() const { return m_state == State::Open || m_state == State::Broken; }
    void onConnected();
    void onReadable();
    void onSocketError();
    // The chunks that have come whole: each checked and answered in turn.
    void processInput();
    // With the lock held. A failure of the channel comes back as its error.
    int32_t handleChunk(QByteArrayView chunk, Deliveries &out);
    // The chunk's plain text without its message header, checked; throws
    // DecodeError when it fails. Secured chunks are opened in place.
    QByteArrayView unsecure(QByteArrayView type, char *chunk, qsizetype size);
    void takeToken(uint32_t tokenId, uint32_t lifetimeMs, const ByteString &serverNonce, const QByteArray &clientNonce);
    void renew();
    void sendOpen(bool renew); // with the lock held
    bool sendChunks(const char *type, uint32_t requestId, QByteArrayView body); // with the lock held
    void finishOpen(int32_t error);
    void fail(int32_t error);
    static int32_t failureOf(const DecodeError &e, bool open);
    void take(uint32_t requestId, const Reply &reply, Deliveries &out); // with the lock held
    void checkDeadlines();

    // Guards what request() reaches from other threads: the pending
    // requests, the numbers and keys of the chunks, the send buffer.
    mutable QMutex m_lock;
    StreamSocket *m_socket = nullptr;
    std::atomic<State> m_state = State::Closed;
    QString m_endpointUrl;
    QByteArray m_in; // received bytes; those from m_inBegin on are still to read
    qsizetype m_inBegin = 0;
    QByteArray m_out; // the chunk being made
    TransportLimits m_local;
    TransportLimits m_peer;
    uint32_t m_channelId = 0;
    uint32_t m_tokenId = 0;
    uint32_t m_sequence = 0;
    uint32_t m_requestId = 0;
    uint32_t m_requestedLifetime = 600000;
    std::atomic_int m_renewals = 0;
    bool m_closing = false; // a close of our own is no loss
    std::vector<Pending> m_pending;
    Done m_openDone;
    QTimer m_deadlines;
    QTimer m_renew;
    ChannelSecurity m_security;
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
