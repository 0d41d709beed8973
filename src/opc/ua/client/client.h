#pragma once

#include "opc/wait.h"
#include "opc/ua/wire/binary.h"
#include "opc/ua/client/channel.h"
#include "opc/ua/wire/services.h"
#include "opc/certificate.h"

#include <QElapsedTimer>
#include <QMutex>
#include <atomic>
#include <QObject>
#include <QThread>
#include <QTimer>
#include <future>
#include <map>
#include <memory>
#include <optional>

namespace opc::ua {

// Where to go: "opc.tcp://[user:password@]host[:port][/path]".
struct Target {
    QString host;
    quint16 port = 4840;
    QString url; // without credentials
    QString user;
    QString password;
};
// Nothing for a text that is not such a URL.
std::optional<Target> parseTarget(const QString &node);
bool isUaNode(const QString &node);

// The bridge's worker thread. Calls from the window's thread hand it a
// function and wait for its answer with a timeout; they never run an event
// loop of their own meanwhile.
class Worker {
public:
    Worker();
    ~Worker();
    QObject *context() const { return m_context; }

    // Runs start(complete) on the worker; waits until complete(value) or
    // the timeout, whichever comes first.
    template <typename T>
    T call(int timeoutMs, T onTimeout, std::function<void(std::function<void(T)>)> start)
    {
        const opc::WaitScope waiting;
        auto promise = std::make_shared<std::promise<T>>();
        auto done = std::make_shared<std::atomic_bool>(false);
        std::future<T> future = promise->get_future();
        QMetaObject::invokeMethod(m_context, [start = std::move(start), promise, done] {
            start([promise, done](T value) {
                if (!done->exchange(true))
                    promise->set_value(std::move(value));
            });
        }, Qt::QueuedConnection);
        if (future.wait_for(std::chrono::milliseconds(timeoutMs)) != std::future_status::ready) {
            done->store(true);
            return onTimeout;
        }
        return future.get();
    }

private:
    QThread m_thread;
    QObject *m_context;
};

// One cached item value as the last notification left it.
struct CachedValue {
    DataValue value;
    bool received = false;
    bool commFailure = false;
};

// A session with one server, living on the worker: the channel, the
// subscriptions (one per group) with their monitored items, the publish
// loop and the cache. It reconnects by itself after a loss and re-creates
// what the groups still hold.
class Client : public QObject {
    Q_OBJECT
public:
    using Done = std::function<void(int32_t error)>;
    using ReplyDone = std::function<void(int32_t error, QByteArray message)>;

    explicit Client(QObject *parent = nullptr);
    ~Client() override;

    // --- on the worker ---
    void connectTo(const Target &target, const QString &serverUri, int timeoutMs, Done done);
    void disconnectFrom(Done done);
    // A service call within the session; errors of the channel and bad
    // service results come back as error numbers.
    void call(uint32_t typeId, std::function<void(Encoder &)> body, int timeoutMs, ReplyDone done);

    struct ItemSpec {
        uint32_t handle;
        NodeId nodeId;
        double samplingInterval;
    };
    void addSubscription(uint32_t groupKey, double rate, std::function<void(int32_t, double)> done);
    void modifySubscription(uint32_t groupKey, double rate, std::function<void(int32_t, double)> done);
    void removeSubscription(uint32_t groupKey, Done done);
    void addItem(uint32_t groupKey, const ItemSpec &item, Done done) { addItems(groupKey, {item}, std::move(done)); }
    // Many items in as few requests as the server's limits allow.
    void addItems(uint32_t groupKey, const std::vector<ItemSpec> &items, Done done);
    void removeItems(uint32_t groupKey, const std::vector<uint32_t> &handles, Done done);

    // --- from any thread ---
    CachedValue cached(uint32_t handle) const;
    bool isConnected() const;
    std::vector<QString> namespaces() const;
    int reconnects() const;
    // The session timeout the server granted.
    double sessionTimeoutMs() const { return m_sessionTimeoutMs; }
    uint64_t notifications() const { return m_notifications; }
    // The server's operation limits (0: none), read at every session start.
    uint32_t maxNodesPerRead() const { return m_maxPerRead; }
    uint32_t maxNodesPerBrowse() const { return m_maxPerBrowse; }
    uint32_t maxMonitoredItemsPerCall() const { return m_maxItemsPerCall; }

    // A secured channel and session: the endpoint of this policy and mode,
    // our certificate, the server's as its endpoint gave it. Set before
    // connectTo(); None by default.
    void setSecurity(const ChannelSecurity &security)
    {
        m_security = security;
        m_securityGiven = true;
    }
    // Otherwise connectTo() picks the endpoint from the server name (see
    // parseEndpointChoice) and, for a secured one, checks the server's
    // certificate against this PKI first (Pki::defaultRoot() when empty).
    void setPkiRoot(const QString &root) { m_pkiRoot = root; }
    // The server certificate the last connect refused, once.
    std::optional<RefusedCertificate> takeRefused() { return std::exchange(m_refused, std::nullopt); }
    const ChannelSecurity &security() const { return m_security; }

    // For tests: a short token lifetime shows renewals.
    void setRequestedLifetime(uint32_t ms) { m_requestedLifetime = ms; }
    void setLocalLimits(const TransportLimits &limits) { m_limits = limits; }
    Channel *channel() const { return m_channel; }

private:
    struct Item {
        NodeId nodeId;
        double samplingInterval = 0;
        uint32_t monitoredItemId = 0;
        QString namespaceUri; // so the index can follow the server's table after a reconnect
    };
    struct Subscription {
        double rate = 0;
        uint32_t id = 0;
        std::map<uint32_t, Item> items; // by handle
    };

    // What CreateSession gives the activation.
    struct SessionOffer {
        double revisedTimeoutMs = 0;
        ByteString serverNonce;
        ByteString serverCertificate;
        QByteArray clientNonce;
    };
    void openSession(Done done);
    void getEndpoints(std::function<void(int32_t, const std::vector<EndpointDescription> &)> done);
    void secureTo(const EndpointDescription &endpoint, int timeoutMs, Done done);
    void sessionAt(const QString &url, const EndpointDescription &endpoint, int timeoutMs, Done done);
    void sessionOn(const EndpointDescription &endpoint, Done done);
    void discoverEndpoint(std::function<void(int32_t, const EndpointDescription &)> done);
    void createSession(const EndpointDescription &endpoint, std::function<void(int32_t, const SessionOffer &)> done);
    void activateSession(const EndpointDescription &endpoint, const SessionOffer &offer, Done done);
    void readSessionFacts(std::function<void()> done);
    void startKeepAlive();
    void keepAlive();
    void recoverSession(Done done);
    void restoreSubscriptions();
    static bool isSessionLoss(StatusCode status);
    void callOnce(uint32_t typeId, std::function<void(Encoder &)> body, int timeoutMs, ReplyDone done, bool retried);
    // Straight to the channel: no session checks, no retry.
    void sendRequest(uint32_t typeId, const RequestHeader &header, const std::function<void(Encoder &)> &body,
                     int timeoutMs, ReplyDone done);
    void send(const QByteArray &request, int timeoutMs, ReplyDone done);
    void createSubscription(uint32_t groupKey, std::function<void(int32_t, double)> done);
    void createItems(uint32_t groupKey, std::vector<uint32_t> handles, Done done);
    void createItemsBatch(uint32_t groupKey, std::vector<uint32_t> handles, Done done);
    void publish();
    void onPublish(int32_t error, const QByteArray &message);
    void onLost(int32_t error);
    void scheduleReconnect();
    void reconnect();
    void markCommFailure(bool failed);
    void newChannel();

    Channel *m_channel = nullptr;
    ChannelSecurity m_security;
    bool m_securityGiven = false;
    QString m_pkiRoot;
    std::optional<RefusedCertificate> m_refused;
    Target m_target;
    QString m_serverUri;
    QString m_sessionEndpointUrl;
    NodeId m_authToken;
    bool m_wanted = false; // the program holds a connection
    uint32_t m_requestedLifetime = 600000;
    TransportLimits m_limits;
    std::map<uint32_t, Subscription> m_subscriptions;
    std::map<uint32_t, uint32_t> m_subscriptionGroup; // subscription id -> group key
    std::vector<std::pair<uint32_t, uint32_t>> m_acks;  // subscription id, sequence number
    std::map<uint32_t, uint32_t> m_lastSequence;        // by subscription id
    int m_outstandingPublish = 0;
    int m_reconnectDelay = 250;
    QTimer m_reconnect;
    QTimer m_keepAlive;
    QElapsedTimer m_lastSent;      // since the last request went out
    std::atomic<double> m_sessionTimeoutMs = 0; // as the server revised it
    bool m_recovering = false;     // a new session is being made
    std::vector<Done> m_afterRecovery;
    bool m_sessionLost = false; // a user-name session the server closed
    std::atomic_int m_reconnects = 0;
    std::atomic<uint64_t> m_notifications = 0;
    std::atomic<uint32_t> m_maxPerRead = 0, m_maxPerBrowse = 0, m_maxItemsPerCall = 0;

    mutable QMutex m_cacheLock;
    std::map<uint32_t, CachedValue> m_cache;
    std::vector<QString> m_namespaces;
    bool m_connected = false;
};

} // namespace opc::ua
