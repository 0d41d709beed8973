// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/ua/client/session.h"

#include "opc/errors.h"
#include "opc/ua/client/endpoints.h"
#include "opc/ua/security/crypto.h"

#include <QDeadlineTimer>
#include <QThread>
#include <cmath>

namespace opc::ua {

namespace S = opc::Status;

qint64 monotonicMs()
{
    static const QElapsedTimer start = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return start.elapsed();
}

namespace {

// Each step of opening a session, and the light read that keeps it alive.
constexpr int StepTimeoutMs = 5000;
constexpr int KeepAliveTimeoutMs = 5000;
constexpr int CloseTimeoutMs = 2000;
// A server that closes every session made for it again is not asked for a
// new one without end: the waits grow, and past the last one the loss is
// shown. A session that lasted this long counts as a success.
constexpr int RecoveryDelaysMs[] = {0, 1000, 2000, 4000, 8000};
constexpr qint64 StableSessionMs = 60000;
// Asked of the server; it answers with the timeout it grants.
constexpr double RequestedTimeoutMs = 120000;

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

bool isSessionLoss(StatusCode status)
{
    const uint32_t code = status.code & 0xFFFF0000u;
    return code == Status::BadSessionIdInvalid || code == Status::BadSessionClosed || code == Status::BadSessionNotActivated;
}
} // namespace

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

Session::Session(QObject *parent) : QObject(parent)
{
    connect(&m_keepAlive, &QTimer::timeout, this, &Session::keepAlive);
}

void Session::setTarget(const Target &target, const QString &serverUri)
{
    QMutexLocker lock(&m_sendLock);
    m_target = target;
    m_serverUri = serverUri;
    m_closedForGood = false;
    m_recoveries = 0;
    m_activationSent = false;
    ++m_generation;
}

void Session::setChannel(Channel *channel)
{
    QMutexLocker lock(&m_sendLock);
    m_channel = channel;
}

// --- opening: OPC 10000-4 §5.6 -------------------------------------------

void Session::openByDiscovery(Done done)
{
    discoverEndpoint([this, done](int32_t error, const EndpointDescription &endpoint) {
        if (error)
            return done(error);
        open(endpoint, done);
    });
}

// Session and activation; what later calls need to know goes beside the
// activation, in the same round trip, and the connect does not wait for it.
void Session::open(const EndpointDescription &endpoint, Done done, const std::vector<EndpointDescription> &discovered)
{
    {
        QMutexLocker lock(&m_sendLock);
        m_authToken = {};
    }
    {
        QMutexLocker lock(&m_factsLock);
        m_factsPending = true;
        m_factsAgain = false;
    }
    m_activationSent = false;
    m_keepAlive.stop();
    create(endpoint, discovered, [this, done, endpoint](int32_t error, const Offer &offer) {
        if (error) {
            factsKnown();
            return done(error);
        }
        activate(endpoint, offer, [this, done](int32_t error) {
            if (error) {
                factsKnown();
                return done(error);
            }
            m_active = true;
            m_openedAt = monotonicMs();
            startKeepAlive();
            if (std::exchange(m_factsAgain, false))
                readFacts(false);
            done(0);
        });
        if (m_activationSent)
            readFacts(true);
    });
}

void Session::getEndpoints(std::function<void(int32_t, const std::vector<EndpointDescription> &)> done)
{
    const auto body = [this](Encoder &e) {
        e.string(m_target.url);
        e.int32(0);
        e.int32(0);
    };
    send(encodeRequest(Id::GetEndpointsRequest, {}, body), StepTimeoutMs, [done](int32_t error, const QByteArray &message) {
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
    }, MaxDiscoveryReply);
}

// The endpoint of the wanted server with the channel's policy and mode.
void Session::discoverEndpoint(std::function<void(int32_t, const EndpointDescription &)> done)
{
    EndpointChoice choice;
    choice.serverUri = m_serverUri;
    choice.exact = true;
    choice.policy = security().secured() ? security().policy : Policy::None;
    choice.mode = security().secured() ? security().mode : SecurityMode::None;
    getEndpoints([done, choice](int32_t error, const std::vector<EndpointDescription> &all) {
        if (error)
            return done(error, {});
        const EndpointPick pick = pickEndpoint(all, choice);
        done(pick.error, pick.endpoint);
    });
}

void Session::create(const EndpointDescription &endpoint, const std::vector<EndpointDescription> &discovered,
                     std::function<void(int32_t, const Offer &)> done)
{
    const QByteArray clientNonce = secureRandom(32);
    const auto body = [this, clientNonce](Encoder &e) {
        ApplicationDescription me;
        // A secured session presents the URI its certificate names.
        me.applicationUri = security().secured() ? security().ownApplicationUri : QStringLiteral("urn:quorivo:client");
        me.productUri = QStringLiteral("urn:quorivo");
        me.applicationName = {QString(), QStringLiteral("Quorivo")};
        me.applicationType = 1;
        encode(e, me);
        e.string(m_serverUri);
        e.string(m_target.url);
        e.string(QStringLiteral("Quorivo"));
        e.byteString(ByteString::of(clientNonce));
        e.byteString(security().secured() ? ByteString::of(security().ownCertificate) : ByteString{});
        e.float64(RequestedTimeoutMs);
        e.uint32(0);
    };
    sendRequest(Id::CreateSessionRequest, {}, body, StepTimeoutMs,
                [this, done, endpoint, discovered, clientNonce](int32_t error, const QByteArray &message) {
        if (error)
            return done(error, {});
        Offer offer;
        offer.clientNonce = clientNonce;
        QString signatureAlgorithm;
        ByteString serverSignature;
        std::vector<EndpointDescription> serverEndpoints;
        const ChannelSecurity &secured = security();
        try {
            Decoder d(message);
            const Response r = decodeResponseStart(d);
            if (r.typeId != Id::CreateSessionResponse || r.header.serviceResult.isBad())
                return done(errorOf(r.header.serviceResult), {});
            d.nodeId(); // session id
            const NodeId token = d.nodeId();
            QMutexLocker lock(&m_sendLock);
            m_authToken = token;
            offer.revisedTimeoutMs = d.float64();
            offer.serverNonce = d.byteString();
            offer.serverCertificate = d.byteString();
            if (secured.secured()) {
                serverEndpoints = d.array([](Decoder &x) { return decodeEndpointDescription(x); });
                d.array([](Decoder &x) { return std::make_pair(x.byteString(), x.byteString()); });
                signatureAlgorithm = d.string();
                serverSignature = d.byteString();
            }
        } catch (const DecodeError &) {
            return done(S::RPC_S_SERVER_UNAVAILABLE, {});
        }
        // On a secured channel the server proves it holds its key: it signs
        // our certificate and nonce (OPC 10000-4 §5.6.2).
        if (secured.secured() &&
            (offer.serverCertificate.data != secured.serverCertificate || offer.serverNonce.data.size() < 32 ||
             signatureAlgorithm != QLatin1String(traitsOf(secured.policy).asymmetricSignatureUri) ||
             !secured.serverKey->verify(secured.policy, secured.ownCertificate + clientNonce, serverSignature.data)))
            return done(S::UA_E_SECURITYCHECK, {});
        // What the unsigned list said, proved by the signed answer: a list
        // changed on the way (a level lowered, a token policy rewritten)
        // ends the connect before anything of ours is sent.
        if (secured.secured() && !discovered.empty() && !sameEndpoints(discovered, serverEndpoints, m_serverUri))
            return done(S::UA_E_SECURITYCHECK, {});
        if (offer.serverCertificate.isNull)
            offer.serverCertificate = endpoint.serverCertificate;
        // The server's word on how long an idle session lives, not ours.
        m_timeoutMs = std::isfinite(offer.revisedTimeoutMs) && offer.revisedTimeoutMs > 0 ? offer.revisedTimeoutMs
                                                                                          : RequestedTimeoutMs;
        done(0, offer);
    });
}

// Activates with the identity the endpoint's token policies ask for; the
// password goes with it and is not kept.
void Session::activate(const EndpointDescription &endpoint, const Offer &offer, Done done)
{
    const bool named = !m_target.user.isEmpty();
    // The first token policy of our kind; for a password, the first that
    // does not name a deprecated policy (servers list several, the old
    // ones first), and none when only those are offered.
    const UserTokenPolicy *policy = nullptr;
    bool deprecatedOnly = false;
    for (const auto &p : endpoint.userIdentityTokens) {
        if (p.tokenType != (named ? 1 : 0))
            continue;
        if (named && isDeprecatedPolicyUri(p.securityPolicyUri)) {
            deprecatedOnly = true;
            continue;
        }
        policy = &p;
        break;
    }
    if (!policy && deprecatedOnly)
        return done(S::UA_E_NOENDPOINT); // refused as a channel of that policy would be
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
        const QByteArrayView password = m_target.password->bytes();
        if (tokenPolicy == SecurityPolicyNone) {
            // Readable: inside SignAndEncrypt nobody on the way reads it;
            // anywhere else only the operator may let it go.
            const bool encrypted = security().secured() && security().mode == SecurityMode::SignAndEncrypt;
            if (!encrypted && !m_clearPasswordAllowed)
                return done(S::UA_E_CLEARPASSWORD);
            tokenBody.byteStringOf(password);
            tokenBody.string({});
        } else if (isDeprecatedPolicyUri(tokenPolicy)) {
            // A token without a policy of its own takes the endpoint's.
            return done(S::UA_E_NOENDPOINT);
        } else {
            // Encrypted for a certificate the operator trusts (OPC 10000-4
            // §7.41.2.1); a secured channel has judged its own already.
            if (!security().secured() && m_judge)
                if (const int32_t refused = m_judge(offer.serverCertificate.data, endpoint.server.applicationUri))
                    return done(refused);
            const auto secret = encryptUserPassword(tokenPolicy, offer.serverCertificate.data, password, offer.serverNonce.data);
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
        signatureData(e, security(), proof);
        e.int32(0);
        e.int32(0);
        e.extensionObject(token);
        signatureData(e);
    };
    QByteArray request = encodeRequest(Id::ActivateSessionRequest, header, body);
    // The password is not kept once it has gone: neither its secret, which
    // every copy of the target shares, nor the token that held it.
    m_target.password->wipe();
    wipeBytes(token.body);
    m_activationSent = true;
    send(request, StepTimeoutMs, [done](int32_t error, const QByteArray &message) {
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
    wipeBytes(request);
    m_channel->forgetSent();
}

// The namespace table, for item ids given by namespace URI, and the
// operation limits that requests are split by. A server that cannot tell
// leaves them as they were: the session works without.
void Session::readFacts(bool beside)
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
    sendRequest(Id::ReadRequest, header, body, StepTimeoutMs, [this, beside](int32_t error, const QByteArray &message) {
        bool answered = false;
        if (error == 0) {
            try {
                Decoder d(message);
                const Response r = decodeResponseStart(d);
                if (r.typeId == Id::ReadResponse && !r.header.serviceResult.isBad()) {
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
                    QMutexLocker lock(&m_factsLock);
                    m_namespaces = std::move(uris);
                    answered = true;
                }
            } catch (const DecodeError &) {
            }
        }
        // A server that served it before the activation it came with was
        // done (BadSessionNotActivated) is asked again once it is.
        if (beside && !answered && m_activationSent) {
            if (m_active)
                return readFacts(false);
            m_factsAgain = true;
            return;
        }
        factsKnown();
    });
}

void Session::factsKnown()
{
    {
        QMutexLocker lock(&m_factsLock);
        m_factsPending = false;
        m_factsAgain = false;
    }
    m_factsAnswered.wakeAll();
    for (auto &then : std::exchange(m_afterFacts, {}))
        then();
}

void Session::afterFacts(std::function<void()> then)
{
    {
        QMutexLocker lock(&m_factsLock);
        if (m_factsPending) {
            m_afterFacts.push_back(std::move(then));
            return;
        }
    }
    then();
}

void Session::awaitFacts() const
{
    // Known (every call but the first few of a session), or asked on the
    // worker, which answers them and cannot wait for itself.
    if (!m_factsPending.load(std::memory_order_acquire) || QThread::currentThread() == thread())
        return;
    QMutexLocker lock(&m_factsLock);
    QDeadlineTimer deadline(StepTimeoutMs);
    while (m_factsPending && !deadline.hasExpired())
        m_factsAnswered.wait(&m_factsLock, deadline);
}

void Session::close(Done done)
{
    stop();
    call(Id::CloseSessionRequest, [](Encoder &e) { e.boolean(true); }, CloseTimeoutMs,
         [done](int32_t error, const QByteArray &) { done(error); });
}

void Session::stop()
{
    m_active = false;
    m_keepAlive.stop();
}

// --- keeping it --------------------------------------------------------------

// A server closes a session that nothing reaches for its timeout: a light
// read goes out at a third of it whenever nothing else did.
void Session::startKeepAlive()
{
    const double third = std::clamp(m_timeoutMs / 3.0, 100.0, 600000.0);
    m_keepAlive.start(static_cast<int>(third));
}

void Session::keepAlive()
{
    if (!m_active || !ready())
        return;
    if (monotonicMs() - m_lastSent < m_keepAlive.interval() - 50)
        return;
    // Its timeout counts: a server that does not answer it is gone.
    callWatched(Id::ReadRequest,
                [](Encoder &e) {
                    e.float64(0);
                    e.int32(3);
                    e.array(std::vector<ReadValueId>{{NodeId::num(0, Id::ServerStatus_CurrentTime), Attr::Value}},
                            [](Encoder &x, const ReadValueId &id) { encode(x, id); });
                },
                KeepAliveTimeoutMs, [](int32_t, const QByteArray &) {});
}

bool Session::ready() const
{
    QMutexLocker lock(&m_sendLock);
    return m_channel && m_channel->isOpen() && !m_closedForGood && !m_recovering;
}

void Session::sendRequest(uint32_t typeId, const RequestHeader &header, const Body &body, int timeoutMs, ReplyDone done)
{
    send(encodeRequest(typeId, header, body), timeoutMs, std::move(done));
}

void Session::send(const QByteArray &request, int timeoutMs, ReplyDone done, uint32_t maxReplyBytes)
{
    m_lastSent = monotonicMs();
    m_channel->request(request, timeoutMs, [done](const Reply &reply) { done(reply.error, reply.message); }, maxReplyBytes);
}

void Session::call(uint32_t typeId, Body body, int timeoutMs, ReplyDone done)
{
    callOnce(std::make_shared<Call>(Call{typeId, std::move(body), timeoutMs, std::move(done)}));
}

void Session::callWatched(uint32_t typeId, Body body, int timeoutMs, ReplyDone done)
{
    auto call = std::make_shared<Call>(Call{typeId, std::move(body), timeoutMs, std::move(done)});
    call->watched = true;
    callOnce(call);
}

void Session::dropChannel(int32_t error)
{
    if (m_channel)
        m_channel->drop(error);
}

void Session::callFromAnyThread(uint32_t typeId, Body body, int timeoutMs, ReplyDone done)
{
    auto call = std::make_shared<Call>(Call{typeId, std::move(body), timeoutMs, std::move(done)});
    if (!trySend(call))
        QMetaObject::invokeMethod(this, [this, call] { callOnce(call); }, Qt::QueuedConnection);
}

void Session::callOnce(const CallPtr &call)
{
    if (trySend(call))
        return;
    bool waits = false;
    {
        QMutexLocker lock(&m_sendLock);
        waits = m_recovering && m_channel && m_channel->isOpen() && !m_closedForGood;
    }
    if (!waits)
        return call->done(S::RPC_S_SERVER_UNAVAILABLE, {});
    // A new session is being made: the call goes on it.
    m_afterRecovery.push_back([this, call](int32_t error) {
        if (error)
            return call->done(S::RPC_S_SERVER_UNAVAILABLE, {});
        call->retried = true;
        callOnce(call);
    });
}

bool Session::trySend(const CallPtr &call)
{
    std::optional<int32_t> refused;
    {
        QMutexLocker lock(&m_sendLock);
        if (!m_channel || !m_channel->isOpen() || m_closedForGood || m_recovering)
            return false;
        RequestHeader header;
        header.authenticationToken = m_authToken;
        header.timeoutHint = static_cast<uint32_t>(call->timeoutMs);
        // Written into the buffer of the last request: no allocation a call.
        Encoder e(std::move(m_request));
        encodeRequest(e, call->typeId, header, call->body);
        m_lastSent = monotonicMs();
        refused = m_channel->tryRequest(e.bytes(), call->timeoutMs, [this, call](const Reply &reply) { onReply(call, reply); });
        m_request = e.take();
    }
    // Said outside the lock: what the call does next may send again.
    if (refused)
        call->done(*refused, {});
    return true;
}

// A call that meets a session the server no longer holds has the session
// made again and is sent once more.
void Session::onReply(const CallPtr &call, const Reply &reply)
{
    if (reply.timedOut && call->watched)
        dropChannel(reply.error);
    if (reply.error)
        return call->done(reply.error, {});
    try {
        Decoder d(reply.message);
        const Response r = decodeResponseStart(d);
        if (isSessionLoss(r.header.serviceResult) && !call->retried) {
            call->retried = true;
            recover([this, call](int32_t error) {
                if (error)
                    return call->done(S::RPC_S_SERVER_UNAVAILABLE, {});
                callOnce(call);
            });
            return;
        }
        if (r.header.serviceResult.isBad())
            return call->done(errorOf(r.header.serviceResult), reply.message);
    } catch (const DecodeError &) {
        return call->done(S::RPC_S_SERVER_UNAVAILABLE, {});
    }
    call->done(0, reply.message);
}

// The server closed our session (it timed out, or was closed for us) while
// the channel lives: an anonymous session is made again on the same
// channel. A user-name session cannot log in again without the password
// it no longer holds: it stays closed until the operator connects again.
// So does an anonymous one whose server keeps closing the sessions made
// again: each waits longer than the one before, and past the last the
// loss is shown.
void Session::recover(Done done)
{
    const auto giveUp = [this, &done] {
        {
            QMutexLocker lock(&m_sendLock);
            m_closedForGood = true;
        }
        m_keepAlive.stop();
        emit lostForGood();
        for (auto &waiting : std::exchange(m_afterRecovery, {}))
            waiting(S::RPC_S_SERVER_UNAVAILABLE);
        done(S::RPC_S_SERVER_UNAVAILABLE);
    };
    if (m_closedForGood)
        return done(S::RPC_S_SERVER_UNAVAILABLE);
    if (!m_target.user.isEmpty())
        return giveUp();
    {
        QMutexLocker lock(&m_sendLock);
        if (m_recovering) {
            m_afterRecovery.push_back(std::move(done));
            return;
        }
    }
    if (monotonicMs() - m_openedAt >= StableSessionMs)
        m_recoveries = 0;
    if (m_recoveries >= static_cast<int>(std::size(RecoveryDelaysMs)))
        return giveUp();
    const int delay = RecoveryDelaysMs[m_recoveries++];
    m_afterRecovery.push_back(std::move(done));
    {
        QMutexLocker lock(&m_sendLock);
        m_recovering = true;
    }
    emit recovering();
    if (delay == 0)
        return makeAgain();
    QTimer::singleShot(delay, this, [this, generation = m_generation] {
        if (generation == m_generation)
            makeAgain();
    });
}

void Session::makeAgain()
{
    if (!m_channel || !m_channel->isOpen()) {
        // The channel went meanwhile: the reconnection takes over.
        {
            QMutexLocker lock(&m_sendLock);
            m_recovering = false;
        }
        for (auto &waiting : std::exchange(m_afterRecovery, {}))
            waiting(S::RPC_S_SERVER_UNAVAILABLE);
        return;
    }
    openByDiscovery([this](int32_t error) {
        {
            QMutexLocker lock(&m_sendLock);
            m_recovering = false;
        }
        if (error == 0)
            emit recovered();
        else if (m_channel)
            m_channel->drop(S::RPC_S_SERVER_UNAVAILABLE); // lost: the reconnection takes over
        for (auto &waiting : std::exchange(m_afterRecovery, {}))
            waiting(error);
    });
}

std::vector<QString> Session::namespaces() const
{
    awaitFacts();
    QMutexLocker lock(&m_factsLock);
    return m_namespaces;
}

} // namespace opc::ua
