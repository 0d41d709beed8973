#include "opc/ua/client/client.h"

#include "opc/errors.h"
#include "opc/ua/security/crypto.h"
#include "opc/ua/client/endpoints.h"
#include "opc/ua/security/pki.h"
#include "opc/ua/security/trust.h"

#include <QUrl>

namespace opc::ua {

namespace S = opc::Status;

namespace {
constexpr int PublishTimeoutMs = 60000;
// Each step of opening a session, and the bridge's service calls.
constexpr int SessionStepTimeoutMs = 5000;
constexpr int ServiceTimeoutMs = 5000;
constexpr int CreateItemsTimeoutMs = 10000;
constexpr int CloseSessionTimeoutMs = 2000;
constexpr int ReconnectTimeoutMs = 10000;
// Asked of the server; it answers with the timeout it grants.
constexpr double RequestedSessionTimeoutMs = 120000;
constexpr int OutstandingPublish = 2;
constexpr int MaxReconnectDelayMs = 8000;

int32_t errorOf(StatusCode status)
{
    switch (status.code & 0xFFFF0000u) {
    case Status::BadTimeout:
    case Status::BadSessionIdInvalid:
    case Status::BadSessionClosed:
    case Status::BadSessionNotActivated:
        return S::RPC_S_SERVER_UNAVAILABLE;
    case Status::BadIdentityTokenRejected:
    case Status::BadIdentityTokenInvalid:
    case Status::BadUserAccessDenied:
        return S::E_ACCESSDENIED;
    case Status::BadNodeIdUnknown:
        return S::OPC_E_UNKNOWNITEMID;
    case Status::BadNodeIdInvalid:
        return S::OPC_E_INVALIDITEMID;
    default:
        if (refusesOurCertificate(status.code))
            return S::UA_E_OWNCERTREFUSED;
        return S::E_FAIL;
    }
}

// SignatureData: none on an open channel; on a secured one, our signature
// with the policy's algorithm (OPC 10000-4 §7.37).
void signatureData(Encoder &e, const ChannelSecurity &security = {}, const QByteArray &data = {})
{
    if (!security.secured()) {
        e.string({});
        e.byteString({});
        return;
    }
    const auto signature = security.ownKey->sign(security.policy, data);
    e.string(QString::fromLatin1(traitsOf(security.policy).asymmetricSignatureUri));
    e.byteString(ByteString::of(signature.value_or(QByteArray())));
}
} // namespace

bool isUaNode(const QString &node) { return node.trimmed().startsWith(QLatin1String("opc.tcp://"), Qt::CaseInsensitive); }

std::optional<Target> parseTarget(const QString &node)
{
    const QString text = node.trimmed();
    if (!isUaNode(text) || text.size() > 4096)
        return std::nullopt;
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || url.port() == 0)
        return std::nullopt;
    Target t;
    t.host = url.host();
    const int port = url.port(4840);
    if (port <= 0 || port > 65535)
        return std::nullopt;
    t.port = static_cast<quint16>(port);
    t.user = url.userName();
    t.password = url.password();
    QUrl plain = url;
    plain.setUserInfo({});
    t.url = plain.toString();
    return t;
}

// --- Worker --------------------------------------------------------------

Worker::Worker() : m_context(new QObject)
{
    m_context->moveToThread(&m_thread);
    m_thread.setObjectName(QStringLiteral("opc.ua"));
    m_thread.start();
}

Worker::~Worker()
{
    QMetaObject::invokeMethod(m_context, [ctx = m_context] { delete ctx; }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

// --- Client --------------------------------------------------------------

Client::Client(QObject *parent) : QObject(parent)
{
    m_reconnect.setSingleShot(true);
    connect(&m_reconnect, &QTimer::timeout, this, &Client::reconnect);
    connect(&m_keepAlive, &QTimer::timeout, this, &Client::keepAlive);
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
    connect(m_channel, &Channel::lost, this, &Client::onLost);
}

void Client::connectTo(const Target &target, const QString &serverUri, int timeoutMs, Done done)
{
    m_target = target;
    const EndpointChoice choice = parseEndpointChoice(serverUri);
    m_serverUri = choice.serverUri;
    m_refused.reset();
    const auto finish = [this, done](int32_t e) {
        if (e == 0) {
            m_wanted = true;
            QMutexLocker lock(&m_cacheLock);
            m_connected = true;
        } else if (m_channel) {
            m_channel->close();
        }
        done(e);
    };
    if (!m_securityGiven)
        m_security = {};
    newChannel();
    m_channel->open(target.host, target.port, target.url, timeoutMs, [this, finish, choice, timeoutMs](int32_t error) {
        if (error)
            return finish(error);
        if (m_securityGiven)
            return openSession(finish);
        // Endpoints are asked on the open channel every server offers for
        // discovery (OPC 10000-4 §5.4.4); a secured endpoint needs a channel
        // of its own.
        getEndpoints([this, finish, choice, timeoutMs](int32_t error, const std::vector<EndpointDescription> &all) {
            if (error)
                return finish(error);
            const EndpointPick pick = pickEndpoint(all, choice);
            if (pick.error)
                return finish(pick.error);
            if (pick.endpoint.securityMode != static_cast<int32_t>(SecurityMode::None))
                return secureTo(pick.endpoint, timeoutMs, finish);
            // An open endpoint at another path (a server whose discovery
            // answers elsewhere) gets a channel of its own.
            const QString url = endpointUrlFor(m_target.url, pick.endpoint.endpointUrl);
            if (url == m_target.url)
                return sessionOn(pick.endpoint, finish);
            sessionAt(url, pick.endpoint, timeoutMs, finish);
        });
    });
}

// A new channel to the endpoint's URL, and a session on it.
void Client::sessionAt(const QString &url, const EndpointDescription &endpoint, int timeoutMs, Done done)
{
    m_target.url = url;
    newChannel();
    m_channel->open(m_target.host, m_target.port, m_target.url, timeoutMs, [this, endpoint, done](int32_t error) {
        if (error)
            return done(error);
        sessionOn(endpoint, done);
    });
}

// The server's certificate checked, our own made on first need, then a
// channel and a session with the endpoint's policy and mode.
void Client::secureTo(const EndpointDescription &endpoint, int timeoutMs, Done done)
{
    const QString root = m_pkiRoot.isEmpty() ? Pki::defaultRoot() : m_pkiRoot;
    const QByteArray serverCertificate = endpoint.serverCertificate.data;
    const TrustList trust(root);
    const TrustVerdict verdict = trust.check(serverCertificate, endpoint.server.applicationUri, m_target.host);
    if (verdict.error) {
        trust.reject(serverCertificate);
        m_refused = trust.refusal(serverCertificate, verdict, endpoint.server.applicationUri, m_target.host);
        return done(verdict.error);
    }
    auto serverKey = RsaKey::fromCertificate(serverCertificate);
    const auto own = Pki(root).own();
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
    sessionAt(endpointUrlFor(m_target.url, endpoint.endpointUrl), endpoint, timeoutMs, done);
}

// --- the session: OPC 10000-4 §5.6 ---------------------------------------

// Endpoints, then the session on the one of the channel's policy and mode.
void Client::openSession(Done done)
{
    discoverEndpoint([this, done](int32_t error, const EndpointDescription &endpoint) {
        if (error)
            return done(error);
        sessionOn(endpoint, done);
    });
}

// Session, activation, then what later calls need to know.
void Client::sessionOn(const EndpointDescription &endpoint, Done done)
{
    m_authToken = {};
    m_keepAlive.stop();
    createSession(endpoint, [this, done, endpoint](int32_t error, const SessionOffer &offer) {
        if (error)
            return done(error);
        activateSession(endpoint, offer, [this, done](int32_t error) {
            if (error)
                return done(error);
            readSessionFacts([this, done] {
                startKeepAlive();
                done(0);
            });
        });
    });
}

void Client::getEndpoints(std::function<void(int32_t, const std::vector<EndpointDescription> &)> done)
{
    const auto body = [this](Encoder &e) {
        e.string(m_target.url);
        e.int32(0);
        e.int32(0);
    };
    sendRequest(Id::GetEndpointsRequest, {}, body, SessionStepTimeoutMs, [done](int32_t error, const QByteArray &message) {
        if (error)
            return done(error, {});
        try {
            Decoder d(message);
            const Response r = decodeResponseStart(d);
            if (r.header.serviceResult.isBad())
                return done(errorOf(r.header.serviceResult), {});
            done(0, d.array([](Decoder &x) { return decodeEndpointDescription(x); }));
        } catch (const DecodeError &) {
            done(S::RPC_S_SERVER_UNAVAILABLE, {});
        }
    });
}

// The endpoint of the wanted server with the channel's policy and mode.
void Client::discoverEndpoint(std::function<void(int32_t, const EndpointDescription &)> done)
{
    EndpointChoice choice;
    choice.serverUri = m_serverUri;
    choice.exact = true;
    choice.policy = m_security.secured() ? m_security.policy : Policy::None;
    choice.mode = m_security.secured() ? m_security.mode : SecurityMode::None;
    getEndpoints([done, choice](int32_t error, const std::vector<EndpointDescription> &all) {
        if (error)
            return done(error, {});
        const EndpointPick pick = pickEndpoint(all, choice);
        done(pick.error, pick.endpoint);
    });
}

void Client::createSession(const EndpointDescription &endpoint, std::function<void(int32_t, const SessionOffer &)> done)
{
    m_sessionEndpointUrl = endpoint.endpointUrl;
    const QByteArray clientNonce = secureRandom(32);
    const auto body = [this, clientNonce](Encoder &e) {
        ApplicationDescription me;
        // A secured session presents the URI its certificate names.
        me.applicationUri = m_security.secured() ? m_security.ownApplicationUri : QStringLiteral("urn:quorivo:client");
        me.productUri = QStringLiteral("urn:quorivo");
        me.applicationName = {QString(), QStringLiteral("Quorivo")};
        me.applicationType = 1;
        encode(e, me);
        e.string(m_serverUri);
        e.string(m_target.url);
        e.string(QStringLiteral("Quorivo"));
        e.byteString(ByteString::of(clientNonce));
        e.byteString(m_security.secured() ? ByteString::of(m_security.ownCertificate) : ByteString{});
        e.float64(RequestedSessionTimeoutMs);
        e.uint32(0);
    };
    sendRequest(Id::CreateSessionRequest, {}, body, SessionStepTimeoutMs,
                [this, done, endpoint, clientNonce](int32_t error, const QByteArray &message) {
        if (error)
            return done(error, {});
        SessionOffer offer;
        offer.clientNonce = clientNonce;
        QString signatureAlgorithm;
        ByteString serverSignature;
        try {
            Decoder d(message);
            const Response r = decodeResponseStart(d);
            if (r.typeId != Id::CreateSessionResponse || r.header.serviceResult.isBad())
                return done(errorOf(r.header.serviceResult), {});
            d.nodeId(); // session id
            m_authToken = d.nodeId();
            offer.revisedTimeoutMs = d.float64();
            offer.serverNonce = d.byteString();
            offer.serverCertificate = d.byteString();
            if (m_security.secured()) {
                d.array([](Decoder &x) { return decodeEndpointDescription(x); });
                d.array([](Decoder &x) { return std::make_pair(x.byteString(), x.byteString()); });
                signatureAlgorithm = d.string();
                serverSignature = d.byteString();
            }
        } catch (const DecodeError &) {
            return done(S::RPC_S_SERVER_UNAVAILABLE, {});
        }
        // On a secured channel the server proves it holds its key: it signs
        // our certificate and nonce (OPC 10000-4 §5.6.2).
        if (m_security.secured() &&
            (offer.serverCertificate.data != m_security.serverCertificate || offer.serverNonce.data.size() < 32 ||
             signatureAlgorithm != QLatin1String(traitsOf(m_security.policy).asymmetricSignatureUri) ||
             !m_security.serverKey->verify(m_security.policy, m_security.ownCertificate + clientNonce,
                                           serverSignature.data)))
            return done(S::UA_E_SECURITYCHECK, {});
        if (offer.serverCertificate.isNull)
            offer.serverCertificate = endpoint.serverCertificate;
        // The server's word on how long an idle session lives, not ours.
        m_sessionTimeoutMs = std::isfinite(offer.revisedTimeoutMs) && offer.revisedTimeoutMs > 0
                                 ? offer.revisedTimeoutMs
                                 : RequestedSessionTimeoutMs;
        done(0, offer);
    });
}

// Activates with the identity the endpoint's token policies ask for; the
// password goes with it and is not kept.
void Client::activateSession(const EndpointDescription &endpoint, const SessionOffer &offer, Done done)
{
    const bool named = !m_target.user.isEmpty();
    const UserTokenPolicy *policy = nullptr;
    for (const auto &p : endpoint.userIdentityTokens)
        if (p.tokenType == (named ? 1 : 0)) {
            policy = &p;
            break;
        }
    if (!policy)
        return done(named ? S::E_ACCESSDENIED : S::E_FAIL);
    ExtensionObject token;
    token.encoding = 1;
    Encoder tokenBody;
    tokenBody.string(policy->policyId);
    if (named) {
        token.typeId = NodeId::num(0, Id::UserNameIdentityToken);
        const QString tokenPolicy = policy->securityPolicyUri.isEmpty() ? endpoint.securityPolicyUri : policy->securityPolicyUri;
        tokenBody.string(m_target.user);
        if (tokenPolicy == SecurityPolicyNone) {
            tokenBody.byteString(ByteString::of(m_target.password.toUtf8()));
            tokenBody.string({});
        } else {
            const auto secret = encryptUserPassword(tokenPolicy, offer.serverCertificate.data, m_target.password.toUtf8(),
                                                   offer.serverNonce.data);
            if (!secret)
                return done(S::E_ACCESSDENIED);
            tokenBody.byteString(ByteString::of(secret->cipherText));
            tokenBody.string(secret->algorithm);
        }
    } else {
        token.typeId = NodeId::num(0, Id::AnonymousIdentityToken);
    }
    token.body = tokenBody.take();
    RequestHeader header;
    header.authenticationToken = m_authToken;
    const QByteArray proof = offer.serverCertificate.data + offer.serverNonce.data;
    const auto body = [this, &token, &proof](Encoder &e) {
        signatureData(e, m_security, proof);
        e.int32(0);
        e.int32(0);
        e.extensionObject(token);
        signatureData(e);
    };
    const QByteArray request = encodeRequest(Id::ActivateSessionRequest, header, body);
    // The password is not kept once it has gone.
    m_target.password.fill(QLatin1Char('\0'));
    m_target.password.clear();
    send(request, SessionStepTimeoutMs, [done](int32_t error, const QByteArray &message) {
        if (error)
            return done(error);
        try {
            Decoder d(message);
            const Response r = decodeResponseStart(d);
            if (r.typeId != Id::ActivateSessionResponse || r.header.serviceResult.isBad())
                return done(errorOf(r.header.serviceResult));
        } catch (const DecodeError &) {
            return done(S::RPC_S_SERVER_UNAVAILABLE);
        }
        done(0);
    });
}

// The namespace table, for item ids given by namespace URI, and the
// operation limits that requests are split by. A server that cannot tell
// leaves them as they were: the session works without.
void Client::readSessionFacts(std::function<void()> done)
{
    RequestHeader header;
    header.authenticationToken = m_authToken;
    const auto body = [](Encoder &e) {
        e.float64(0);
        e.int32(3);
        e.int32(4);
        for (uint32_t node : {Id::NamespaceArray, Id::MaxNodesPerRead, Id::MaxNodesPerBrowse, Id::MaxMonitoredItemsPerCall})
            encode(e, ReadValueId{NodeId::num(0, node), Attr::Value});
    };
    sendRequest(Id::ReadRequest, header, body, SessionStepTimeoutMs, [this, done](int32_t error, const QByteArray &message) {
        if (error == 0) {
            try {
                Decoder d(message);
                const Response r = decodeResponseStart(d);
                if (r.header.serviceResult.isBad())
                    return done();
                const auto values = d.array([](Decoder &x) { return x.dataValue(); });
                std::vector<QString> uris;
                if (!values.empty() && values[0].value && values[0].value->type == BuiltIn::String)
                    for (const Scalar &s : values[0].value->values)
                        uris.push_back(std::get<QString>(s));
                const auto limit = [&values](size_t i) -> uint32_t {
                    const uint32_t *v = values.size() > i && values[i].value ? values[i].value->scalarAs<uint32_t>() : nullptr;
                    return v ? *v : 0;
                };
                m_maxPerRead = limit(1);
                m_maxPerBrowse = limit(2);
                m_maxItemsPerCall = limit(3);
                QMutexLocker lock(&m_cacheLock);
                m_namespaces = std::move(uris);
            } catch (const DecodeError &) {
            }
        }
        done();
    });
}

// A server closes a session that nothing reaches for its timeout: a light
// read goes out at a third of it whenever nothing else did.
void Client::startKeepAlive()
{
    const double third = std::clamp(m_sessionTimeoutMs / 3.0, 100.0, 600000.0);
    m_keepAlive.start(static_cast<int>(third));
}

void Client::keepAlive()
{
    if (!m_wanted || !m_channel || !m_channel->isOpen() || m_sessionLost || m_recovering)
        return;
    if (m_lastSent.isValid() && m_lastSent.elapsed() < m_keepAlive.interval() - 50)
        return;
    call(Id::ReadRequest,
         [](Encoder &e) {
             e.float64(0);
             e.int32(3);
             e.array(std::vector<ReadValueId>{{NodeId::num(0, Id::ServerStatus_CurrentTime), Attr::Value}},
                     [](Encoder &x, const ReadValueId &id) { encode(x, id); });
         },
         ServiceTimeoutMs, [](int32_t, const QByteArray &) {});
}

void Client::sendRequest(uint32_t typeId, const RequestHeader &header, const std::function<void(Encoder &)> &body,
                         int timeoutMs, ReplyDone done)
{
    send(encodeRequest(typeId, header, body), timeoutMs, std::move(done));
}

void Client::send(const QByteArray &request, int timeoutMs, ReplyDone done)
{
    m_lastSent.start();
    m_channel->request(request, timeoutMs, [done](const Reply &reply) { done(reply.error, reply.message); });
}

bool Client::isSessionLoss(StatusCode status)
{
    const uint32_t code = status.code & 0xFFFF0000u;
    return code == Status::BadSessionIdInvalid || code == Status::BadSessionClosed || code == Status::BadSessionNotActivated;
}

void Client::call(uint32_t typeId, std::function<void(Encoder &)> body, int timeoutMs, ReplyDone done)
{
    callOnce(typeId, std::move(body), timeoutMs, std::move(done), false);
}

// A call that meets a session the server no longer holds has the session
// made again and is sent once more.
void Client::callOnce(uint32_t typeId, std::function<void(Encoder &)> body, int timeoutMs, ReplyDone done, bool retried)
{
    if (!m_channel || !m_channel->isOpen() || m_sessionLost) {
        done(S::RPC_S_SERVER_UNAVAILABLE, {});
        return;
    }
    if (m_recovering) {
        m_afterRecovery.push_back([this, typeId, body, timeoutMs, done](int32_t error) {
            if (error)
                return done(S::RPC_S_SERVER_UNAVAILABLE, {});
            callOnce(typeId, body, timeoutMs, done, true);
        });
        return;
    }
    RequestHeader header;
    header.authenticationToken = m_authToken;
    header.timeoutHint = static_cast<uint32_t>(timeoutMs);
    sendRequest(typeId, header, body, timeoutMs,
                [this, typeId, body, timeoutMs, done, retried](int32_t error, const QByteArray &message) {
        if (error)
            return done(error, {});
        try {
            Decoder d(message);
            const Response r = decodeResponseStart(d);
            if (isSessionLoss(r.header.serviceResult) && !retried) {
                recoverSession([this, typeId, body, timeoutMs, done](int32_t error) {
                    if (error)
                        return done(S::RPC_S_SERVER_UNAVAILABLE, {});
                    callOnce(typeId, body, timeoutMs, done, true);
                });
                return;
            }
            if (r.header.serviceResult.isBad())
                return done(errorOf(r.header.serviceResult), message);
        } catch (const DecodeError &) {
            return done(S::RPC_S_SERVER_UNAVAILABLE, {});
        }
        done(0, message);
    });
}

// The server closed our session (it timed out, or was closed for us) while
// the channel lives: an anonymous session is made again on the same
// channel, with the groups' subscriptions and items. A user-name session
// cannot log in again without the password it no longer holds: its items
// show the communication failure until the operator connects again.
void Client::recoverSession(Done done)
{
    if (!m_target.user.isEmpty()) {
        m_sessionLost = true;
        m_keepAlive.stop();
        m_outstandingPublish = 0;
        markCommFailure(true);
        done(S::RPC_S_SERVER_UNAVAILABLE);
        return;
    }
    m_afterRecovery.push_back(std::move(done));
    if (m_recovering)
        return;
    m_recovering = true;
    m_outstandingPublish = 0;
    openSession([this](int32_t error) {
        m_recovering = false;
        if (error == 0) {
            ++m_reconnects;
            restoreSubscriptions();
        } else if (m_channel) {
            m_channel->close(); // lost: the reconnection takes over
        }
        for (auto &waiting : std::exchange(m_afterRecovery, {}))
            waiting(error);
    });
}

void Client::disconnectFrom(Done done)
{
    m_wanted = false;
    m_reconnect.stop();
    m_keepAlive.stop();
    {
        QMutexLocker lock(&m_cacheLock);
        m_connected = false;
        m_cache.clear();
    }
    m_subscriptions.clear();
    m_subscriptionGroup.clear();
    if (!m_channel || !m_channel->isOpen()) {
        done(0);
        return;
    }
    call(Id::CloseSessionRequest, [](Encoder &e) { e.boolean(true); }, CloseSessionTimeoutMs, [this, done](int32_t, const QByteArray &) {
        if (m_channel)
            m_channel->close();
        done(0);
    });
}

// --- subscriptions -------------------------------------------------------

void Client::addSubscription(uint32_t groupKey, double rate, std::function<void(int32_t, double)> done)
{
    m_subscriptions[groupKey].rate = rate;
    createSubscription(groupKey, [this, groupKey, done](int32_t error, double revised) {
        if (error)
            m_subscriptions.erase(groupKey);
        done(error, revised);
    });
}

void Client::createSubscription(uint32_t groupKey, std::function<void(int32_t, double)> done)
{
    const double rate = m_subscriptions[groupKey].rate;
    call(Id::CreateSubscriptionRequest,
         [rate](Encoder &e) {
             e.float64(rate);
             e.uint32(1200); // lifetime count
             e.uint32(10);   // keep-alive count
             e.uint32(0);
             e.boolean(true);
             e.byte(0);
         },
         ServiceTimeoutMs, [this, groupKey, done](int32_t error, const QByteArray &message) {
             if (error)
                 return done(error, 0);
             double revised = 0;
             try {
                 Decoder d(message);
                 decodeResponseStart(d);
                 const uint32_t id = d.uint32();
                 revised = d.float64();
                 auto it = m_subscriptions.find(groupKey);
                 if (it == m_subscriptions.end())
                     return done(S::E_FAIL, 0);
                 it->second.id = id;
                 it->second.rate = revised;
                 m_subscriptionGroup[id] = groupKey;
                 m_lastSequence.erase(id);
             } catch (const DecodeError &) {
                 return done(S::RPC_S_SERVER_UNAVAILABLE, 0);
             }
             publish();
             done(0, revised);
         });
}

void Client::modifySubscription(uint32_t groupKey, double rate, std::function<void(int32_t, double)> done)
{
    auto it = m_subscriptions.find(groupKey);
    if (it == m_subscriptions.end())
        return done(S::E_FAIL, 0);
    const uint32_t id = it->second.id;
    call(Id::ModifySubscriptionRequest,
         [id, rate](Encoder &e) {
             e.uint32(id);
             e.float64(rate);
             e.uint32(1200);
             e.uint32(10);
             e.uint32(0);
             e.byte(0);
         },
         ServiceTimeoutMs, [this, groupKey, done](int32_t error, const QByteArray &message) {
             if (error)
                 return done(error, 0);
             try {
                 Decoder d(message);
                 decodeResponseStart(d);
                 const double revised = d.float64();
                 if (auto it = m_subscriptions.find(groupKey); it != m_subscriptions.end())
                     it->second.rate = revised;
                 done(0, revised);
             } catch (const DecodeError &) {
                 done(S::RPC_S_SERVER_UNAVAILABLE, 0);
             }
         });
}

void Client::removeSubscription(uint32_t groupKey, Done done)
{
    auto it = m_subscriptions.find(groupKey);
    if (it == m_subscriptions.end())
        return done(0);
    const uint32_t id = it->second.id;
    {
        QMutexLocker lock(&m_cacheLock);
        for (const auto &[handle, item] : it->second.items)
            m_cache.erase(handle);
    }
    m_subscriptions.erase(it);
    m_subscriptionGroup.erase(id);
    call(Id::DeleteSubscriptionsRequest, [id](Encoder &e) { e.array(std::vector<uint32_t>{id}, [](Encoder &x, uint32_t v) { x.uint32(v); }); },
         ServiceTimeoutMs, [done](int32_t error, const QByteArray &) { done(error); });
}

void Client::addItems(uint32_t groupKey, const std::vector<ItemSpec> &wanted, Done done)
{
    auto it = m_subscriptions.find(groupKey);
    if (it == m_subscriptions.end())
        return done(S::E_FAIL);
    std::vector<uint32_t> handles;
    const std::vector<QString> uris = namespaces();
    for (const ItemSpec &want : wanted) {
        const QString uri = want.nodeId.ns < uris.size() ? uris[want.nodeId.ns] : QString();
        it->second.items[want.handle] = Item{want.nodeId, want.samplingInterval, 0, uri};
        handles.push_back(want.handle);
    }
    {
        QMutexLocker lock(&m_cacheLock);
        for (uint32_t h : handles)
            m_cache[h] = CachedValue{};
    }
    createItems(groupKey, handles, [this, groupKey, handles, done](int32_t error) {
        // A failure takes back every item of the call: none of them is added.
        if (error) {
            if (auto it = m_subscriptions.find(groupKey); it != m_subscriptions.end())
                for (uint32_t h : handles)
                    it->second.items.erase(h);
            QMutexLocker lock(&m_cacheLock);
            for (uint32_t h : handles)
                m_cache.erase(h);
        }
        done(error);
    });
}

// Split by the server's limit per call, one batch after the other; the
// first error is the answer.
void Client::createItems(uint32_t groupKey, std::vector<uint32_t> handles, Done done)
{
    const uint32_t serverLimit = m_maxItemsPerCall;
    const size_t limit = serverLimit ? serverLimit : 1000;
    if (handles.size() <= limit)
        return createItemsBatch(groupKey, std::move(handles), std::move(done));
    std::vector<uint32_t> first(handles.begin(), handles.begin() + static_cast<std::ptrdiff_t>(limit));
    std::vector<uint32_t> rest(handles.begin() + static_cast<std::ptrdiff_t>(limit), handles.end());
    createItemsBatch(groupKey, std::move(first), [this, groupKey, rest, done](int32_t error) {
        createItems(groupKey, rest, [error, done](int32_t later) { done(error ? error : later); });
    });
}

void Client::createItemsBatch(uint32_t groupKey, std::vector<uint32_t> handles, Done done)
{
    auto it = m_subscriptions.find(groupKey);
    if (it == m_subscriptions.end())
        return done(S::E_FAIL);
    Subscription &sub = it->second;
    std::vector<std::pair<uint32_t, Item>> items;
    for (uint32_t h : handles)
        if (auto i = sub.items.find(h); i != sub.items.end())
            items.emplace_back(h, i->second);
    const uint32_t id = sub.id;
    call(Id::CreateMonitoredItemsRequest,
         [id, items](Encoder &e) {
             e.uint32(id);
             e.int32(2); // both timestamps
             e.int32(static_cast<int32_t>(items.size()));
             for (const auto &[handle, item] : items) {
                 encode(e, ReadValueId{item.nodeId, Attr::Value});
                 e.int32(2); // reporting
                 e.uint32(handle);
                 e.float64(item.samplingInterval);
                 e.extensionObject({});
                 e.uint32(1);
                 e.boolean(true);
             }
         },
         CreateItemsTimeoutMs, [this, groupKey, items, done](int32_t error, const QByteArray &message) {
             if (error)
                 return done(error);
             try {
                 Decoder d(message);
                 decodeResponseStart(d);
                 const int32_t n = d.arrayLength();
                 int32_t firstError = 0;
                 auto sub = m_subscriptions.find(groupKey);
                 for (int32_t i = 0; i < n && i < static_cast<int32_t>(items.size()); ++i) {
                     const StatusCode status = d.statusCode();
                     const uint32_t monitoredId = d.uint32();
                     d.float64();
                     d.uint32();
                     d.extensionObject();
                     if (status.isBad()) {
                         if (!firstError)
                             firstError = errorOf(status);
                         continue;
                     }
                     if (sub != m_subscriptions.end())
                         if (auto item = sub->second.items.find(items[static_cast<size_t>(i)].first);
                             item != sub->second.items.end())
                             item->second.monitoredItemId = monitoredId;
                 }
                 done(firstError);
             } catch (const DecodeError &) {
                 done(S::RPC_S_SERVER_UNAVAILABLE);
             }
         });
}

void Client::removeItems(uint32_t groupKey, const std::vector<uint32_t> &handles, Done done)
{
    auto it = m_subscriptions.find(groupKey);
    if (it == m_subscriptions.end())
        return done(S::E_FAIL);
    std::vector<uint32_t> ids;
    for (uint32_t h : handles) {
        if (auto i = it->second.items.find(h); i != it->second.items.end()) {
            ids.push_back(i->second.monitoredItemId);
            it->second.items.erase(i);
        }
        QMutexLocker lock(&m_cacheLock);
        m_cache.erase(h);
    }
    const uint32_t id = it->second.id;
    call(Id::DeleteMonitoredItemsRequest,
         [id, ids](Encoder &e) {
             e.uint32(id);
             e.array(ids, [](Encoder &x, uint32_t v) { x.uint32(v); });
         },
         ServiceTimeoutMs, [done](int32_t error, const QByteArray &) { done(error); });
}

// --- publish loop --------------------------------------------------------

void Client::publish()
{
    // A closed user-name session publishes no more; one being made again
    // publishes once its subscriptions are back.
    if (m_sessionLost || m_recovering)
        return;
    while (m_outstandingPublish < OutstandingPublish && !m_subscriptions.empty() && m_channel && m_channel->isOpen()) {
        ++m_outstandingPublish;
        const auto acks = std::exchange(m_acks, {});
        call(Id::PublishRequest,
             [acks](Encoder &e) {
                 e.int32(static_cast<int32_t>(acks.size()));
                 for (const auto &[sub, seq] : acks) {
                     e.uint32(sub);
                     e.uint32(seq);
                 }
             },
             PublishTimeoutMs, [this](int32_t error, const QByteArray &message) { onPublish(error, message); });
    }
}

void Client::onPublish(int32_t error, const QByteArray &message)
{
    m_outstandingPublish = std::max(0, m_outstandingPublish - 1);
    if (error) {
        // A lost channel restarts the loop after reconnecting; anything
        // else (a timeout, no subscription yet) just asks again.
        if (m_channel && m_channel->isOpen() && !m_subscriptions.empty() && !m_sessionLost)
            QTimer::singleShot(100, this, &Client::publish);
        return;
    }
    try {
        Decoder d(message);
        decodeResponseStart(d);
        const uint32_t subscriptionId = d.uint32();
        d.array([](Decoder &x) { return x.uint32(); });
        d.boolean();
        const NotificationMessage m = decodeNotificationMessage(d);
        const bool hasData = !m.changes.empty();
        if (hasData) {
            m_acks.emplace_back(subscriptionId, m.sequenceNumber);
            const auto last = m_lastSequence.find(subscriptionId);
            if (last != m_lastSequence.end() && m.sequenceNumber > last->second + 1) {
                // A gap: ask for what was missed, so the server can let it go.
                for (uint32_t seq = last->second + 1; seq < m.sequenceNumber && seq < last->second + 16; ++seq)
                    call(Id::RepublishRequest,
                         [subscriptionId, seq](Encoder &e) {
                             e.uint32(subscriptionId);
                             e.uint32(seq);
                         },
                         ServiceTimeoutMs, [this, subscriptionId, seq](int32_t err, const QByteArray &) {
                             if (err == 0)
                                 m_acks.emplace_back(subscriptionId, seq);
                         });
            }
            m_lastSequence[subscriptionId] = m.sequenceNumber;
            m_notifications += m.changes.size();
            QMutexLocker lock(&m_cacheLock);
            for (const auto &[handle, value] : m.changes) {
                auto it = m_cache.find(handle);
                if (it == m_cache.end())
                    continue;
                DataValue v = value;
                if (!v.value && it->second.received)
                    v.value = it->second.value.value;
                it->second = CachedValue{v, true, false};
            }
        }
    } catch (const DecodeError &) {
    }
    publish();
}

// --- loss and return -----------------------------------------------------

void Client::markCommFailure(bool failed)
{
    QMutexLocker lock(&m_cacheLock);
    m_connected = !failed;
    for (auto &[handle, cached] : m_cache)
        cached.commFailure = failed;
}

void Client::onLost(int32_t)
{
    m_outstandingPublish = 0;
    markCommFailure(true);
    // A user-name session cannot be opened again: its password went with
    // the first activation and is not kept. Trying without it would only
    // pile refused logins on the server (and may lock the account), so
    // such a connection stays lost until the operator connects again.
    if (m_wanted && m_target.user.isEmpty())
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
    m_channel->open(m_target.host, m_target.port, m_target.url, ReconnectTimeoutMs, [this](int32_t error) {
        if (error || !m_wanted) {
            if (m_wanted)
                scheduleReconnect();
            return;
        }
        openSession([this](int32_t e) {
            if (e) {
                m_channel->close();
                scheduleReconnect();
                return;
            }
            m_reconnectDelay = 250;
            ++m_reconnects;
            {
                QMutexLocker lock(&m_cacheLock);
                m_connected = true;
            }
            restoreSubscriptions();
        });
    });
}

// After a new session: the namespace indexes may have changed, and every
// group's subscription and items are made again.
void Client::restoreSubscriptions()
{
    m_subscriptionGroup.clear();
    m_acks.clear();
    const std::vector<QString> uris = namespaces();
    for (auto &entry : m_subscriptions)
        for (auto &item : entry.second.items) {
            const auto pos = std::find(uris.begin(), uris.end(), item.second.namespaceUri);
            if (!item.second.namespaceUri.isEmpty() && pos != uris.end())
                item.second.nodeId.ns = static_cast<uint16_t>(pos - uris.begin());
        }
    for (const auto &entry : m_subscriptions) {
        const uint32_t groupKey = entry.first;
        std::vector<uint32_t> handles;
        for (const auto &item : entry.second.items)
            handles.push_back(item.first);
        createSubscription(groupKey, [this, groupKey, handles](int32_t error, double) {
            if (error == 0)
                createItems(groupKey, handles, [](int32_t) {});
        });
    }
}

// --- from any thread -----------------------------------------------------

CachedValue Client::cached(uint32_t handle) const
{
    QMutexLocker lock(&m_cacheLock);
    const auto it = m_cache.find(handle);
    return it == m_cache.end() ? CachedValue{} : it->second;
}

bool Client::isConnected() const
{
    QMutexLocker lock(&m_cacheLock);
    return m_connected;
}

std::vector<QString> Client::namespaces() const
{
    QMutexLocker lock(&m_cacheLock);
    return m_namespaces;
}

int Client::reconnects() const { return m_reconnects; }

} // namespace opc::ua
