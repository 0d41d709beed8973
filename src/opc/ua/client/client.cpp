// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/ua/client/client.h"

#include "opc/errors.h"
#include "opc/ua/client/endpoints.h"
#include "opc/ua/client/transport.h"
#include "opc/ua/security/crypto.h"
#include "opc/ua/security/pki.h"
#include "opc/ua/security/trust.h"

#include <QElapsedTimer>
#include <cstdio>

namespace opc::ua {

namespace S = opc::Status;

namespace {
constexpr int ReconnectTimeoutMs = 10000;
constexpr int FirstReconnectDelayMs = 250;
constexpr int MaxReconnectDelayMs = 8000;
// A connection that lasted this long was a good one: the next loss starts
// the waits from the shortest again. One that did not (a server that takes
// a session and resets at once) keeps the longest.
constexpr qint64 StableConnectionMs = 30000;
} // namespace

Client::Client(QObject *parent) : QObject(parent)
{
    keepMessageMemory();
    m_reconnect.setSingleShot(true);
    connect(&m_reconnect, &QTimer::timeout, this, &Client::reconnect);
    connect(&m_session, &Session::recovering, this, [this] { m_subscriptions.stopPublishing(); });
    connect(&m_session, &Session::recovered, this, [this] {
        ++m_reconnects;
        restore();
    });
    connect(&m_session, &Session::lostForGood, this, [this] {
        m_givenUp = true;
        m_subscriptions.stopPublishing();
        m_subscriptions.cache().markCommFailure(true);
    });
    m_session.setCertificateJudge([this](const QByteArray &certificate, const QString &applicationUri) {
        return judge(certificate, applicationUri);
    });
}

Client::~Client() { m_wanted = false; }

void Client::newChannel()
{
    if (m_channel) {
        m_channel->disconnect(this);
        m_channel->close();
        m_channel->deleteLater();
    }
    m_channel = new Channel(this);
    m_channel->setLocalLimits(m_limits);
    m_channel->setRequestedLifetime(m_requestedLifetime);
    m_channel->setSecurity(m_security);
    m_session.setChannel(m_channel);
    connect(m_channel, &Channel::lost, this, &Client::onLost);
}

void Client::connectTo(const Target &target, const QString &serverUri, int timeoutMs, Done done)
{
    const EndpointChoice choice = parseEndpointChoice(serverUri);
    m_session.setTarget(target, choice.serverUri);
    m_refused.reset();
    m_givenUp = false;
    m_reconnectDelay = FirstReconnectDelayMs;
    const auto finish = [this, done](int32_t e) {
        if (e == 0) {
            m_wanted = true;
            m_connectedAt.start();
            m_subscriptions.cache().setConnected(true);
        } else if (m_channel) {
            m_channel->close();
        }
        done(e);
    };
    if (!m_securityGiven)
        m_security = {};
    const std::vector<EndpointDescription> known = std::exchange(m_knownEndpoints, {});
    if (!m_securityGiven && !known.empty()) {
        // The endpoints a listing fetched a moment ago: straight to the
        // chosen one. Where they no longer hold (the endpoint moved, the
        // certificate changed) they are asked again, as if never known,
        // while nothing of the session's identity has gone yet.
        QElapsedTimer clock;
        clock.start();
        return toEndpoint(known, choice, false, timeoutMs, [=, this](int32_t e) {
            // A refused certificate the listing saw is not final (nor was it
            // recorded): the server may hold another by now.
            const qint64 left = timeoutMs - clock.elapsed();
            if (e == 0 || m_session.activationSent() || m_refused || e == S::UA_E_CLEARPASSWORD ||
                e == S::UA_E_PKIUNSAFE || left < timeoutMs / 2)
                return finish(e);
            connectTo(target, serverUri, static_cast<int>(left), done);
        });
    }
    newChannel();
    m_channel->open(target.host, target.port, target.url, timeoutMs, [this, finish, choice, timeoutMs](int32_t error) {
        if (error)
            return finish(error);
        if (m_securityGiven)
            return m_session.openByDiscovery(finish);
        // Endpoints are asked on the open channel every server offers for
        // discovery (OPC 10000-4 §5.4.4); a secured endpoint needs a channel
        // of its own.
        m_session.getEndpoints([this, finish, choice, timeoutMs](int32_t error, const std::vector<EndpointDescription> &all) {
            if (error)
                return finish(error);
            toEndpoint(all, choice, true, timeoutMs, finish);
        });
    });
}

// A session on the endpoint the operator's choice picks of these. A fresh
// list came over the channel open to the typed URL, which serves the
// session where the endpoint is there; a remembered one opens its own.
void Client::toEndpoint(const std::vector<EndpointDescription> &all, const EndpointChoice &choice, bool fresh,
                        int timeoutMs, Done done)
{
    const EndpointPick pick = pickEndpoint(all, choice);
    if (pick.error)
        return done(pick.error);
    if (pick.endpoint.securityMode != static_cast<int32_t>(SecurityMode::None))
        return secureTo(pick.endpoint, all, timeoutMs, done, fresh);
    // A server we hold a certificate of had secured endpoints: a list
    // without them is no reason to go open, unless the operator named
    // the open endpoint.
    if (!choice.exact && TrustList(pkiRoot()).knowsApplication(pick.endpoint.server.applicationUri))
        return done(S::UA_E_NOENDPOINT);
    // An open endpoint at another path (a server whose discovery answers
    // elsewhere) gets a channel of its own.
    const QString typed = m_session.target().url;
    const QString url = endpointUrlFor(typed, pick.endpoint.endpointUrl);
    if (url == typed && fresh)
        return m_session.open(pick.endpoint, done);
    sessionAt(url, pick.endpoint, {}, timeoutMs, done);
}

// A new channel to the endpoint's URL, and a session on it.
void Client::sessionAt(const QString &url, const EndpointDescription &endpoint,
                       const std::vector<EndpointDescription> &discovered, int timeoutMs, Done done)
{
    m_session.setUrl(url);
    newChannel();
    const Target &target = m_session.target();
    m_channel->open(target.host, target.port, target.url, timeoutMs, [this, endpoint, discovered, done](int32_t error) {
        if (error)
            return done(error);
        m_session.open(endpoint, done, discovered);
    });
}

QString Client::pkiRoot() const { return m_pkiRoot.isEmpty() ? Pki::defaultRoot() : m_pkiRoot; }

int32_t Client::judge(const QByteArray &certificate, const QString &applicationUri, bool record)
{
    const QString root = pkiRoot();
    // A trust list others can write into trusts for them.
    if (const auto unsafe = Pki(root).unsafeFolder()) {
        std::fprintf(stderr, "quorivo: %s\n", qPrintable(*unsafe));
        return S::UA_E_PKIUNSAFE;
    }
    const TrustList trust(root);
    const QString host = m_session.target().host;
    const TrustVerdict verdict = trust.check(certificate, applicationUri, host);
    if (verdict.error && record) {
        trust.reject(certificate);
        m_refused = trust.refusal(certificate, verdict, applicationUri, host);
    }
    return verdict.error;
}

// The server's certificate judged, our own made on first need, then a
// channel and a session with the endpoint's policy and mode.
void Client::secureTo(const EndpointDescription &endpoint, const std::vector<EndpointDescription> &discovered,
                      int timeoutMs, Done done, bool fresh)
{
    const QByteArray serverCertificate = endpoint.serverCertificate.data;
    if (const int32_t refused = judge(serverCertificate, endpoint.server.applicationUri, fresh))
        return done(refused);
    auto serverKey = RsaKey::fromCertificate(serverCertificate);
    const auto own = Pki(pkiRoot()).own();
    auto ownKey = own ? RsaKey::fromPrivateKeyPem(own->privateKeyPem) : std::nullopt;
    if (!serverKey)
        return done(S::UA_E_CERTUNTRUSTED);
    if (!ownKey)
        return done(S::E_FAIL);
    ChannelSecurity security;
    security.policy = *policyOfUri(endpoint.securityPolicyUri);
    security.mode = static_cast<SecurityMode>(endpoint.securityMode);
    security.ownCertificate = own->der;
    security.ownApplicationUri = own->applicationUri;
    security.ownKey = std::move(ownKey);
    security.serverCertificate = serverCertificate;
    security.serverKey = std::move(serverKey);
    m_security = security;
    sessionAt(endpointUrlFor(m_session.target().url, endpoint.endpointUrl), endpoint, discovered, timeoutMs, done);
}

// The groups made again once the new session's namespace table is known:
// their items' indexes are mapped by it.
void Client::restore()
{
    m_session.afterFacts([this] { m_subscriptions.restore(); });
}

void Client::disconnectFrom(Done done)
{
    m_wanted = false;
    m_reconnect.stop();
    m_session.stop();
    m_subscriptions.clear();
    if (!m_channel || !m_channel->isOpen()) {
        done(0);
        return;
    }
    m_session.close([this, done](int32_t) {
        if (m_channel)
            m_channel->close();
        done(0);
    });
}

// --- loss and return -----------------------------------------------------

void Client::onLost(int32_t)
{
    m_subscriptions.stopPublishing();
    m_subscriptions.cache().markCommFailure(true);
    // A user-name session cannot be opened again: its password went with
    // the first activation and is not kept. Trying without it would only
    // pile refused logins on the server (and may lock the account), so
    // such a connection stays lost until the operator connects again. So
    // does one whose server closed every session made again.
    if (m_connectedAt.isValid() && m_connectedAt.elapsed() >= StableConnectionMs)
        m_reconnectDelay = FirstReconnectDelayMs;
    m_connectedAt.invalidate();
    if (m_wanted && !m_givenUp && m_session.target().user.isEmpty())
        scheduleReconnect();
}

void Client::scheduleReconnect()
{
    m_reconnect.start(m_reconnectDelay);
    m_reconnectDelay = std::min(m_reconnectDelay * 2, MaxReconnectDelayMs);
}

void Client::reconnect()
{
    if (!m_wanted)
        return;
    newChannel();
    const Target &target = m_session.target();
    m_channel->open(target.host, target.port, target.url, ReconnectTimeoutMs, [this](int32_t error) {
        if (error || !m_wanted) {
            if (m_wanted)
                scheduleReconnect();
            return;
        }
        m_session.openByDiscovery([this](int32_t e) {
            if (e) {
                m_channel->close();
                scheduleReconnect();
                return;
            }
            m_connectedAt.start();
            ++m_reconnects;
            m_subscriptions.cache().setConnected(true);
            restore();
        });
    });
}

} // namespace opc::ua
