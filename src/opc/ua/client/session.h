// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/ua/client/channel.h"
#include "opc/ua/client/target.h"
#include "opc/ua/wire/services.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QObject>
#include <QTimer>
#include <QWaitCondition>
#include <atomic>
#include <functional>
#include <memory>
#include <vector>

namespace opc::ua {

// The error number of a bad status in an answer.
int32_t errorOf(StatusCode status);
// Milliseconds on a clock that only goes forward, from the first call.
qint64 monotonicMs();

// A session with one server over the client's channel (OPC 10000-4 §5.6):
// created and activated on an endpoint, kept alive while idle, and made
// again on the same channel when the server closes it. Lives on the
// worker; the secured checks follow the channel's security.
class Session : public QObject {
    Q_OBJECT
public:
    using Done = std::function<void(int32_t error)>;
    using ReplyDone = std::function<void(int32_t error, QByteArray message)>;
    using Body = std::function<void(Encoder &)>;

    explicit Session(QObject *parent = nullptr);

    // Set before open(): where, as whom, and which server by its URI.
    void setTarget(const Target &target, const QString &serverUri);
    const Target &target() const { return m_target; }
    // The endpoint's own URL (its path, the typed host and port).
    void setUrl(const QString &url) { m_target.url = url; }
    void setChannel(Channel *channel);
    // Judges a certificate a password would be encrypted for where no
    // secured channel has judged it already: 0, or the error number.
    using CertificateJudge = std::function<int32_t(const QByteArray &certificate, const QString &applicationUri)>;
    void setCertificateJudge(CertificateJudge judge) { m_judge = std::move(judge); }
    // Whether a password may go readable outside SignAndEncrypt: the
    // operator's word. Without it such an activation fails with
    // UA_E_CLEARPASSWORD before anything of the password is sent.
    void setClearPasswordAllowed(bool allowed) { m_clearPasswordAllowed = allowed; }

    // Creates and activates a session on this endpoint; what later calls
    // need to know is asked beside the activation and is not waited for
    // (see afterFacts). `discovered` is the unsigned list the
    // endpoint was chosen from: a secured channel proves it against the
    // server's own answer (nothing to prove when it came over this channel).
    void open(const EndpointDescription &endpoint, Done done, const std::vector<EndpointDescription> &discovered = {});
    // The same on the endpoint of the channel's policy and mode, asked of
    // the server first: after a reconnection or a recovery.
    void openByDiscovery(Done done);
    void getEndpoints(std::function<void(int32_t, const std::vector<EndpointDescription> &)> done);
    // CloseSession, then no more keep-alive.
    void close(Done done);
    void stop();

    // A service call within the session; errors of the channel and bad
    // service results come back as error numbers. A call that meets a
    // session the server no longer holds has it made again and is sent once
    // more.
    void call(uint32_t typeId, Body body, int timeoutMs, ReplyDone done);
    // The same for a call the server answers whenever it lives (a
    // keep-alive, a Publish): no answer within its time means the
    // connection is lost, and the channel is dropped as a reset drops it.
    void callWatched(uint32_t typeId, Body body, int timeoutMs, ReplyDone done);
    // Drops the channel as lost (on the worker): the client reconnects.
    void dropChannel(int32_t error);
    // The same from any thread: a session that can take it now gets it at
    // once, from the calling thread, and the worker hands back the answer;
    // otherwise the worker sends it when it can. `done` runs on the worker,
    // or on the calling thread when the call cannot go at all.
    void callFromAnyThread(uint32_t typeId, Body body, int timeoutMs, ReplyDone done);
    // Straight to the channel: no session checks, no retry.
    void sendRequest(uint32_t typeId, const RequestHeader &header, const Body &body, int timeoutMs, ReplyDone done);

    // Runs `then` once the session's facts (namespace table, operation
    // limits) are answered or known to be missing: at once when they are.
    // On the worker.
    void afterFacts(std::function<void()> then);
    // Whether the last open() sent its activation (and with it any
    // password): a connect that failed before may be tried another way.
    bool activationSent() const { return m_activationSent; }

    // Calls can go out now: the channel is open, the session neither closed
    // for good nor being made again.
    bool ready() const;
    bool closedForGood() const { return m_closedForGood; }

    // --- from any thread ---
    // The facts: from another thread than the worker's, once they are
    // answered (waiting a call's time at most).
    std::vector<QString> namespaces() const;
    // The session timeout the server granted.
    double timeoutMs() const { return m_timeoutMs; }
    // The server's operation limits (0: none), read at every session start.
    uint32_t maxNodesPerRead() const { return awaitFacts(), m_maxPerRead.load(); }
    uint32_t maxNodesPerBrowse() const { return awaitFacts(), m_maxPerBrowse.load(); }
    uint32_t maxMonitoredItemsPerCall() const { return awaitFacts(), m_maxItemsPerCall.load(); }

signals:
    // The server closed the session and a new one is being made: calls
    // wait for it.
    void recovering();
    // A new session made after the server closed the old one.
    void recovered();
    // A session that will not come back without the operator: a user-name
    // session the server closed (it cannot log in again without the
    // password it no longer holds), or a server that closed every session
    // made for it again.
    void lostForGood();

private:
    // One service call, kept whole until it is answered: sent again as it
    // is after a recovery.
    struct Call {
        uint32_t typeId;
        Body body;
        int timeoutMs;
        ReplyDone done;
        bool retried = false;
        bool watched = false;
    };
    using CallPtr = std::shared_ptr<Call>;
    // What CreateSession gives the activation.
    struct Offer {
        double revisedTimeoutMs = 0;
        ByteString serverNonce;
        ByteString serverCertificate;
        QByteArray clientNonce;
    };
    void discoverEndpoint(std::function<void(int32_t, const EndpointDescription &)> done);
    void create(const EndpointDescription &endpoint, const std::vector<EndpointDescription> &discovered,
                std::function<void(int32_t, const Offer &)> done);
    void activate(const EndpointDescription &endpoint, const Offer &offer, Done done);
    // Asks the facts; `beside` when sent with the activation, whose answer
    // it may come before (it is asked again once the session is active).
    void readFacts(bool beside);
    void factsKnown();
    void awaitFacts() const;
    void startKeepAlive();
    void keepAlive();
    void recover(Done done);
    void makeAgain();
    void callOnce(const CallPtr &call);
    // Sends the call now if the session can take it (any thread).
    bool trySend(const CallPtr &call);
    void onReply(const CallPtr &call, const Reply &reply);
    void send(const QByteArray &request, int timeoutMs, ReplyDone done, uint32_t maxReplyBytes = 0);
    const ChannelSecurity &security() const { return m_channel->security(); }

    // Guards what a send from another thread reads: the channel, the
    // session's token and state, the request buffer.
    mutable QMutex m_sendLock;
    Channel *m_channel = nullptr;
    QByteArray m_request; // the request being written, reused
    CertificateJudge m_judge;
    bool m_clearPasswordAllowed = false;
    Target m_target;
    QString m_serverUri;
    NodeId m_authToken;
    bool m_active = false;         // opened and not stopped since
    QTimer m_keepAlive;
    std::atomic<qint64> m_lastSent = 0; // when the last request went out (ms, monotonic)
    bool m_recovering = false;     // a new session is being made
    std::vector<Done> m_afterRecovery;
    qint64 m_openedAt = 0;  // when the present session was made (ms, monotonic)
    int m_recoveries = 0;   // sessions made again, each closed before it lasted
    int m_generation = 0;   // one per connect of the operator's
    bool m_closedForGood = false;
    std::atomic<double> m_timeoutMs = 0; // as the server revised it
    std::atomic<uint32_t> m_maxPerRead = 0, m_maxPerBrowse = 0, m_maxItemsPerCall = 0;
    mutable QMutex m_factsLock; // the namespaces and the facts' state
    mutable QWaitCondition m_factsAnswered;
    std::vector<QString> m_namespaces;
    std::atomic_bool m_factsPending = false; // changed under the lock
    bool m_factsAgain = false; // refused beside an activation not yet answered
    std::vector<std::function<void()>> m_afterFacts;
    bool m_activationSent = false;
};

} // namespace opc::ua
