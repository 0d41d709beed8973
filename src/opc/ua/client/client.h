// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/certificate.h"
#include "opc/ua/client/channel.h"
#include "opc/ua/client/endpoints.h"
#include "opc/ua/client/session.h"
#include "opc/ua/client/subscriptions.h"
#include "opc/ua/client/target.h"
#include "opc/ua/client/worker.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <atomic>
#include <optional>

namespace opc::ua {

// The bridge's client of one server, living on the worker: it picks the
// endpoint, checks the server's certificate, opens the channel, and
// composes the session and the subscriptions over it. It reconnects by
// itself after a loss and re-creates what the groups still hold.
class Client : public QObject {
    Q_OBJECT
public:
    using Done = std::function<void(int32_t error)>;
    using ReplyDone = Session::ReplyDone;
    using ItemSpec = Subscriptions::ItemSpec;

    explicit Client(QObject *parent = nullptr);
    ~Client() override;

    // --- on the worker ---
    void connectTo(const Target &target, const QString &serverUri, int timeoutMs, Done done);
    void disconnectFrom(Done done);
    // A service call within the session; errors of the channel and bad
    // service results come back as error numbers.
    void call(uint32_t typeId, std::function<void(Encoder &)> body, int timeoutMs, ReplyDone done)
    {
        m_session.call(typeId, std::move(body), timeoutMs, std::move(done));
    }

    // --- from any thread ---
    // The same, sent from the calling thread when the session can take it:
    // no hand-over to the worker on the way out.
    void callFromAnyThread(uint32_t typeId, std::function<void(Encoder &)> body, int timeoutMs, ReplyDone done)
    {
        m_session.callFromAnyThread(typeId, std::move(body), timeoutMs, std::move(done));
    }

    void addSubscription(uint32_t groupKey, double rate, Subscriptions::RateDone done)
    {
        m_subscriptions.add(groupKey, rate, std::move(done));
    }
    void modifySubscription(uint32_t groupKey, double rate, Subscriptions::RateDone done)
    {
        m_subscriptions.modify(groupKey, rate, std::move(done));
    }
    void removeSubscription(uint32_t groupKey, Done done) { m_subscriptions.remove(groupKey, std::move(done)); }
    void subscriptionRate(uint32_t groupKey, Subscriptions::RateDone done) { m_subscriptions.rate(groupKey, std::move(done)); }
    void addItem(uint32_t groupKey, const ItemSpec &item, Done done) { addItems(groupKey, {item}, std::move(done)); }
    void addItems(uint32_t groupKey, const std::vector<ItemSpec> &items, Done done)
    {
        m_subscriptions.addItems(groupKey, items, std::move(done));
    }
    void removeItems(uint32_t groupKey, const std::vector<uint32_t> &handles, Done done)
    {
        m_subscriptions.removeItems(groupKey, handles, std::move(done));
    }

    // --- from any thread ---
    CachedValue cached(uint32_t handle) const { return m_subscriptions.cache().value(handle); }
    bool isConnected() const { return m_subscriptions.cache().connected(); }
    std::vector<QString> namespaces() const { return m_session.namespaces(); }
    int reconnects() const { return m_reconnects; }
    double sessionTimeoutMs() const { return m_session.timeoutMs(); }
    uint64_t notifications() const { return m_subscriptions.notifications(); }
    uint32_t maxNodesPerRead() const { return m_session.maxNodesPerRead(); }
    uint32_t maxNodesPerBrowse() const { return m_session.maxNodesPerBrowse(); }
    uint32_t maxMonitoredItemsPerCall() const { return m_session.maxMonitoredItemsPerCall(); }

    // A secured channel and session: the endpoint of this policy and mode,
    // our certificate, the server's as its endpoint gave it. Set before
    // connectTo(); None by default.
    void setSecurity(const ChannelSecurity &security)
    {
        m_security = security;
        m_securityGiven = true;
    }
    // The server's endpoints as a listing just gave them: the next
    // connectTo() picks among them without asking, and asks where they no
    // longer hold.
    void setKnownEndpoints(std::vector<EndpointDescription> endpoints) { m_knownEndpoints = std::move(endpoints); }
    // Otherwise connectTo() picks the endpoint from the server name (see
    // parseEndpointChoice) and, for a secured one, checks the server's
    // certificate against this PKI first (Pki::defaultRoot() when empty).
    void setPkiRoot(const QString &root) { m_pkiRoot = root; }
    // The server certificate the last connect refused, once.
    std::optional<RefusedCertificate> takeRefused() { return std::exchange(m_refused, std::nullopt); }
    const ChannelSecurity &security() const { return m_security; }

    // Whether a password may travel readable outside SignAndEncrypt: the
    // operator's answer. A connect that would send one without it fails with
    // UA_E_CLEARPASSWORD before anything of the password leaves.
    void setClearPasswordAllowed(bool allowed) { m_session.setClearPasswordAllowed(allowed); }

    // For tests: a short token lifetime shows renewals.
    void setRequestedLifetime(uint32_t ms) { m_requestedLifetime = ms; }
    void setLocalLimits(const TransportLimits &limits) { m_limits = limits; }
    Channel *channel() const { return m_channel; }

private:
    void newChannel();
    QString pkiRoot() const;
    // The server's certificate by the trust list: 0, or the error number
    // with the refusal kept for the operator when `record`s (a certificate
    // the server gave now, not one a listing remembers).
    int32_t judge(const QByteArray &certificate, const QString &applicationUri, bool record = true);
    void secureTo(const EndpointDescription &endpoint, const std::vector<EndpointDescription> &discovered, int timeoutMs,
                  Done done, bool fresh = true);
    void toEndpoint(const std::vector<EndpointDescription> &all, const EndpointChoice &choice, bool fresh,
                    int timeoutMs, Done done);
    void sessionAt(const QString &url, const EndpointDescription &endpoint, const std::vector<EndpointDescription> &discovered,
                   int timeoutMs, Done done);
    void onLost(int32_t error);
    void restore();
    void scheduleReconnect();
    void reconnect();

    Channel *m_channel = nullptr;
    ChannelSecurity m_security;
    bool m_securityGiven = false;
    std::vector<EndpointDescription> m_knownEndpoints;
    QString m_pkiRoot;
    std::optional<RefusedCertificate> m_refused;
    bool m_wanted = false; // the program holds a connection
    uint32_t m_requestedLifetime = 600000;
    TransportLimits m_limits;
    bool m_givenUp = false; // the session will not come back without the operator
    int m_reconnectDelay = 250;
    QElapsedTimer m_connectedAt; // since the present connection was made
    QTimer m_reconnect;
    std::atomic_int m_reconnects = 0;
    Session m_session;
    Subscriptions m_subscriptions{m_session};
};

} // namespace opc::ua
