// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/ua/client/channel.h"

#include "opc/errors.h"
#include "opc/ua/client/socket.h"
#include "opc/ua/security/secret.h"
#include "opc/ua/security/securechunk.h"
#include "opc/ua/wire/services.h"

#include <QDateTime>
#include <QtEndian>
#include <cstring>

namespace opc::ua {

namespace S = opc::Status;

namespace {
constexpr uint32_t ProtocolVersion = 0;
constexpr int HeaderSize = 8;          // type, chunk type, size
constexpr int MessageHeaderSize = 12;  // and the channel id
// Room after a symmetric chunk's body for its padding and signature.
constexpr int SealRoom = AesBlockLength + 32 + 1;

qint64 nowMs() { return QDateTime::currentMSecsSinceEpoch(); }

// The message header of a chunk in `e`, its size patched in once the chunk
// is whole.
void beginChunk(Encoder &e, const char *type, char chunkType)
{
    e.raw(QByteArrayView(type, 3));
    e.byte(static_cast<uint8_t>(chunkType));
    e.uint32(0);
}

void endChunk(Encoder &e) { e.patchUInt32(4, static_cast<uint32_t>(e.size())); }
} // namespace

Channel::Channel(QObject *parent) : QObject(parent)
{
    m_deadlines.setInterval(50);
    connect(&m_deadlines, &QTimer::timeout, this, &Channel::checkDeadlines);
    m_renew.setSingleShot(true);
    connect(&m_renew, &QTimer::timeout, this, &Channel::renew);
    m_connectTimeout.setSingleShot(true);
    connect(&m_connectTimeout, &QTimer::timeout, this, [this] { finishOpen(S::RPC_S_SERVER_UNAVAILABLE); });
}

// Pending callbacks are dropped unheard: their owner is going too.
Channel::~Channel()
{
    m_openDone = nullptr;
    m_pending.clear();
}

uint32_t Channel::tokenId() const
{
    QMutexLocker lock(&m_lock);
    return m_tokenId;
}

void Channel::open(const QString &host, quint16 port, const QString &endpointUrl, int timeoutMs, Done done)
{
    if (m_state != State::Closed || m_local.receiveBufferSize < MinBufferSize || m_local.sendBufferSize < MinBufferSize) {
        done(S::E_FAIL);
        return;
    }
    m_openDone = std::move(done);
    m_endpointUrl = endpointUrl;
    m_in.clear();
    m_inBegin = 0;
    m_channelId = m_tokenId = m_sequence = 0;
    m_previousTokenId = m_receivedSequence = 0;
    m_sequenceStarted = false;
    if (m_security.secured() && (!m_security.ownKey || !m_security.serverKey)) {
        std::exchange(m_openDone, nullptr)(S::E_FAIL);
        return;
    }
    delete m_socket;
    m_socket = new StreamSocket(this);
    connect(m_socket, &StreamSocket::connected, this, &Channel::onConnected);
    connect(m_socket, &StreamSocket::readable, this, &Channel::onReadable);
    connect(m_socket, &StreamSocket::failed, this, &Channel::onSocketError);
    m_state = State::Connecting;
    m_connectTimeout.start(timeoutMs);
    m_deadlines.start();
    m_socket->connectTo(host, port);
}

void Channel::onConnected()
{
    m_state = State::Hello;
    Encoder e;
    beginChunk(e, "HEL", 'F');
    e.uint32(ProtocolVersion);
    e.uint32(m_local.receiveBufferSize);
    e.uint32(m_local.sendBufferSize);
    e.uint32(m_local.maxMessageSize);
    e.uint32(m_local.maxChunkCount);
    e.string(m_endpointUrl);
    endChunk(e);
    m_socket->send(e.bytes());
}

void Channel::renew()
{
    QMutexLocker lock(&m_lock);
    sendOpen(true);
}

void Channel::sendOpen(bool renew)
{
    if (!m_socket || (renew && m_state != State::Open))
        return;
    const bool secured = m_security.secured();
    const PolicyTraits &traits = traitsOf(secured ? m_security.policy : Policy::None);
    const QByteArray clientNonce = secured ? secureRandom(traits.nonceLength) : QByteArray();
    const QByteArray message = encodeRequest(Id::OpenSecureChannelRequest, {}, [&](Encoder &e) {
        e.uint32(ProtocolVersion);
        e.int32(renew ? 1 : 0);
        e.int32(static_cast<int32_t>(secured ? m_security.mode : SecurityMode::None));
        e.byteString(ByteString::of(clientNonce));
        e.uint32(m_requestedLifetime);
    });
    const uint32_t requestId = ++m_requestId;
    m_pending.push_back({requestId, [this, renew, clientNonce](const Reply &reply) {
                             if (reply.error) {
                                 if (!renew)
                                     finishOpen(reply.error);
                                 return;
                             }
                             try {
                                 Decoder d(reply.message);
                                 const Response r = decodeResponseStart(d);
                                 if (!renew && m_security.secured() && refusesOurCertificate(r.header.serviceResult.code))
                                     return finishOpen(S::UA_E_OWNCERTREFUSED);
                                 if (r.typeId != Id::OpenSecureChannelResponse || r.header.serviceResult.isBad())
                                     throw DecodeError("secure channel refused");
                                 d.uint32(); // server protocol version
                                 const uint32_t channelId = d.uint32();
                                 const uint32_t tokenId = d.uint32();
                                 d.dateTime();
                                 const uint32_t lifetime = std::max<uint32_t>(d.uint32(), 1000);
                                 {
                                     QMutexLocker lock(&m_lock);
                                     m_channelId = channelId;
                                     takeToken(tokenId, lifetime, d.byteString(), clientNonce);
                                 }
                                 m_renew.start(static_cast<int>(std::min<uint64_t>(lifetime * 3ull / 4, INT32_MAX)));
                                 if (renew)
                                     ++m_renewals;
                                 else
                                     finishOpen(0);
                             } catch (const DecodeError &e) {
                                 const int32_t error = failureOf(e, renew);
                                 if (!renew)
                                     finishOpen(error);
                                 else
                                     fail(error);
                             }
                         },
                         nowMs() + 10000, {}, 0, 0});
    if (!renew)
        m_state = State::Opening;
    // The asymmetric security header: the policy, and with security our
    // certificate and the thumbprint of the server's (OPC 10000-6 §6.7.2.3).
    Encoder header;
    if (secured) {
        header.string(QString::fromLatin1(traits.uri));
        header.byteString(ByteString::of(m_security.ownCertificate));
        header.byteString(ByteString::of(certificateThumbprint(m_security.serverCertificate)));
    } else {
        header.string(SecurityPolicyNone);
        header.byteString({});
        header.byteString({});
    }
    Encoder e;
    beginChunk(e, "OPN", 'F');
    e.uint32(m_channelId);
    e.raw(header.bytes());
    e.uint32(++m_sequence);
    e.uint32(requestId);
    e.raw(message);
    endChunk(e);
    QByteArray chunk = e.take();
    if (secured) {
        const auto sealed = secureAsymmetric(m_security.policy, *m_security.ownKey, *m_security.serverKey,
                                             static_cast<int>(header.size()), chunk);
        if (!sealed) {
            // A key OpenSSL will not use: the open ends as any failure does.
            m_pending.pop_back();
            QMetaObject::invokeMethod(this, [this, renew] { renew ? fail(S::E_FAIL) : finishOpen(S::E_FAIL); },
                                      Qt::QueuedConnection);
            return;
        }
        chunk = *sealed;
    }
    m_socket->send(chunk);
}

// A new token: with security, the keys of both directions from the two
// nonces. We send under it at once; the server's messages under the old
// one are still taken until it uses the new one (OPC 10000-4 §5.6.2.1).
void Channel::takeToken(uint32_t tokenId, uint32_t lifetimeMs, const ByteString &serverNonce, const QByteArray &clientNonce)
{
    if (m_security.secured()) {
        // Exactly the policy's length (OPC 10000-6 §6.7.4): a short nonce
        // weakens the keys, a long one is no nonce of this policy.
        if (serverNonce.data.size() != traitsOf(m_security.policy).nonceLength)
            throw SecurityCheckFailed("server nonce of the wrong length");
        if (m_tokenId != 0 && tokenId != m_tokenId) {
            m_previousTokenId = m_tokenId;
            m_previousReceiving = m_receiving;
            // The old keys serve the server's messages still on the way, for
            // a quarter of the new token's lifetime at most.
            m_previousUntil = nowMs() + lifetimeMs / 4;
        }
        m_sending = deriveKeys(m_security.policy, serverNonce.data, clientNonce);
        m_receiving = deriveKeys(m_security.policy, clientNonce, serverNonce.data);
    }
    m_tokenId = tokenId;
}

void Channel::finishOpen(int32_t error)
{
    m_connectTimeout.stop();
    if (error == 0)
        m_state = State::Open;
    if (auto done = std::exchange(m_openDone, nullptr))
        done(error);
    if (error != 0)
        fail(error);
}

void Channel::request(QByteArrayView message, int timeoutMs, Callback callback, uint32_t maxReplyBytes)
{
    // A refused request keeps its callback: it is said here.
    if (const auto refused = tryRequest(message, timeoutMs, std::move(callback), maxReplyBytes))
        callback({*refused, {}});
}

std::optional<int32_t> Channel::tryRequest(QByteArrayView message, int timeoutMs, Callback &&callback, uint32_t maxReplyBytes)
{
    QMutexLocker lock(&m_lock);
    if (m_state != State::Open)
        return S::RPC_S_SERVER_UNAVAILABLE;
    // A message the peer said it would not take is refused here, not sent.
    if (!chunksFor(message.size(), chunkBody(m_peer.receiveBufferSize, m_security.policy, m_security.mode), m_peer))
        return S::E_FAIL;
    const uint32_t requestId = ++m_requestId;
    m_pending.push_back({requestId, std::move(callback), nowMs() + timeoutMs, {}, 0, maxReplyBytes});
    if (sendChunks("MSG", requestId, message))
        return std::nullopt;
    // The connection went under it. Nothing more is sent on it from now on
    // (a caller that sends again at once would go round without end), and
    // the worker drops it as a loss does.
    callback = std::move(m_pending.back().callback);
    m_pending.pop_back();
    m_state = State::Broken;
    QMetaObject::invokeMethod(this, [this] { fail(S::RPC_S_SERVER_UNAVAILABLE); }, Qt::QueuedConnection);
    return S::RPC_S_SERVER_UNAVAILABLE;
}

bool Channel::sendChunks(const char *type, uint32_t requestId, QByteArrayView body)
{
    const qsizetype room = chunkBody(m_peer.receiveBufferSize, m_security.policy, m_security.mode);
    const bool secured = m_security.secured();
    qsizetype offset = 0;
    do {
        const qsizetype n = std::min(room, body.size() - offset);
        const bool last = offset + n >= body.size();
        // One buffer for every chunk: reserved once for the largest.
        Encoder e(std::move(m_out));
        e.reserve(SymmetricHeadersLength + SequenceHeaderLength + room + SealRoom);
        beginChunk(e, type, last ? 'F' : 'C');
        e.uint32(m_channelId);
        e.uint32(m_tokenId);
        e.uint32(++m_sequence);
        e.uint32(requestId);
        e.raw(body.sliced(offset, n));
        if (!secured)
            endChunk(e);
        m_out = e.take();
        if (secured && !sealSymmetric(m_security.policy, m_security.mode, m_sending, m_out))
            return false;
        if (m_socket && !m_socket->send(m_out))
            return false;
        offset += n;
    } while (offset < body.size());
    return true;
}

void Channel::forgetSent()
{
    QMutexLocker lock(&m_lock);
    m_out.resize(m_out.capacity());
    wipeBytes(m_out);
}

void Channel::openDetached(const TransportLimits &peer)
{
    m_peer = negotiate(m_local, peer).value_or(TransportLimits{});
    m_state = State::Open;
    m_in.clear();
    m_inBegin = 0;
    m_deadlines.start();
}

void Channel::openDetached(const TransportLimits &peer, const ChannelSecurity &security, uint32_t tokenId,
                           const SymmetricKeys &sending, const SymmetricKeys &receiving)
{
    m_security = security;
    m_tokenId = tokenId;
    m_sending = sending;
    m_receiving = receiving;
    m_sequenceStarted = false;
    openDetached(peer);
}

// What the connection holds, read straight behind what is still unread.
void Channel::onReadable()
{
    const qsizetype capacity = 2 * static_cast<qsizetype>(std::max(m_local.receiveBufferSize, MinBufferSize));
    if (m_in.size() - m_inBegin < capacity / 2 && m_inBegin > 0) {
        m_in.remove(0, m_inBegin);
        m_inBegin = 0;
    }
    const qsizetype used = m_in.size();
    m_in.resize(std::max(capacity, used + capacity / 2));
    const qsizetype n = m_socket->receive(m_in.data() + used, m_in.size() - used);
    m_in.resize(used + std::max<qsizetype>(n, 0));
    if (n < 0)
        return onSocketError();
    processInput();
}

void Channel::feed(QByteArrayView bytes)
{
    m_in.append(bytes);
    processInput();
}

void Channel::processInput()
{
    while (m_state != State::Closed && m_in.size() - m_inBegin >= HeaderSize) {
        const char *at = m_in.constData() + m_inBegin;
        const uint32_t size = qFromLittleEndian<quint32>(at + 4);
        if (size < HeaderSize || size > std::max(m_local.receiveBufferSize, MinBufferSize)) {
            // A chunk larger than we allowed: while opening the server is
            // told apart, once open the channel is lost.
            return fail(wasOpened() ? S::RPC_S_SERVER_UNAVAILABLE : S::UA_E_TRANSPORTLIMITS);
        }
        if (m_in.size() - m_inBegin < size)
            break;
        Deliveries deliveries;
        int32_t failure = 0;
        {
            QMutexLocker lock(&m_lock);
            try {
                failure = handleChunk(QByteArrayView(m_in.data() + m_inBegin, size), deliveries);
            } catch (const DecodeError &e) {
                failure = failureOf(e, wasOpened());
            }
            m_inBegin += size;
        }
        for (Delivery &d : deliveries)
            d.callback(d.reply);
        if (failure)
            return fail(failure);
    }
    if (m_inBegin == m_in.size()) {
        m_in.resize(0);
        m_inBegin = 0;
    }
}

// With security, the chunk is opened and checked before anything of it is
// read: signature, padding, token and sequence.
QByteArrayView Channel::unsecure(QByteArrayView type, char *chunk, qsizetype size)
{
    if (!m_security.secured() || (type != "OPN" && type != "MSG" && type != "CLO"))
        return QByteArrayView(chunk + HeaderSize, size - HeaderSize);
    qsizetype sequenceAt = 0;
    qsizetype length = 0;
    if (type == "OPN") {
        const QByteArray whole(chunk, size);
        Decoder d(whole.mid(MessageHeaderSize));
        if (d.string() != QLatin1String(traitsOf(m_security.policy).uri) ||
            leafCertificate(d.byteString().data) != leafCertificate(m_security.serverCertificate) ||
            d.byteString().data != certificateThumbprint(m_security.ownCertificate))
            throw SecurityCheckFailed("not the channel's security");
        sequenceAt = MessageHeaderSize + d.position();
        const auto plain = openAsymmetric(m_security.policy, *m_security.ownKey, *m_security.serverKey,
                                          static_cast<int>(d.position()), whole);
        if (!plain || plain->size() < sequenceAt + SequenceHeaderLength)
            throw SecurityCheckFailed("chunk does not verify");
        // The plain text is shorter than the sealed chunk: it fits in place.
        std::memcpy(chunk, plain->constData(), static_cast<size_t>(plain->size()));
        length = plain->size();
    } else {
        if (size < SymmetricHeadersLength)
            throw DecodeError("chunk too short");
        const uint32_t tokenId = qFromLittleEndian<quint32>(chunk + MessageHeaderSize);
        const bool previous = tokenId == m_previousTokenId && nowMs() <= m_previousUntil;
        const SymmetricKeys *keys = tokenId == m_tokenId ? &m_receiving : previous ? &m_previousReceiving : nullptr;
        if (!keys || tokenId == 0)
            throw SecurityCheckFailed("unknown token");
        sequenceAt = SymmetricHeadersLength;
        const auto opened = openSymmetricInPlace(m_security.policy, m_security.mode, *keys, chunk, size);
        if (!opened || *opened < sequenceAt + SequenceHeaderLength)
            throw SecurityCheckFailed("chunk does not verify");
        length = *opened;
        if (tokenId == m_tokenId && m_previousTokenId != 0) {
            m_previousTokenId = 0; // the server has moved to the new token
            m_previousReceiving = {};
        }
    }
    // Each chunk follows the one before (OPC 10000-6 §6.7.2.4); after
    // 4,294,966,271 it may start again below 1024.
    const uint32_t sequence = qFromLittleEndian<quint32>(chunk + sequenceAt);
    if (m_sequenceStarted && sequence != m_receivedSequence + 1 &&
        !(m_receivedSequence > 4294966271u && sequence < 1024))
        throw SecurityCheckFailed("sequence number out of order");
    m_sequenceStarted = true;
    m_receivedSequence = sequence;
    return QByteArrayView(chunk + HeaderSize, length - HeaderSize);
}

int32_t Channel::handleChunk(QByteArrayView raw, Deliveries &out)
{
    const QByteArrayView type = raw.first(3);
    const char chunkType = raw.at(3);
    const QByteArrayView chunk = unsecure(type, const_cast<char *>(raw.data()), raw.size());
    Decoder d(QByteArray::fromRawData(chunk.data(), chunk.size()));
    if (type == "ACK") {
        if (m_state != State::Hello)
            throw DecodeError("unexpected acknowledge");
        d.uint32(); // the server's protocol version
        TransportLimits acknowledged;
        acknowledged.receiveBufferSize = d.uint32();
        acknowledged.sendBufferSize = d.uint32();
        acknowledged.maxMessageSize = d.uint32();
        acknowledged.maxChunkCount = d.uint32();
        const auto agreed = negotiate(m_local, acknowledged);
        if (!agreed)
            return S::UA_E_TRANSPORTLIMITS;
        m_peer = *agreed;
        sendOpen(false);
        return 0;
    }
    if (type == "ERR") {
        // A server that will not open a secured channel with us says why:
        // most often it does not (yet) trust our certificate.
        const uint32_t code = d.uint32() & 0xFFFF0000u;
        const bool refusedUs = !wasOpened() && m_security.secured() && refusesOurCertificate(code);
        return refusedUs ? S::UA_E_OWNCERTREFUSED : S::RPC_S_SERVER_UNAVAILABLE;
    }
    if (type != "OPN" && type != "MSG" && type != "CLO")
        throw DecodeError("unknown message type");
    d.uint32(); // channel id
    if (type == "OPN") {
        d.string();     // policy
        d.byteString(); // certificate
        d.byteString(); // thumbprint
    } else {
        d.uint32(); // token id
    }
    d.uint32(); // sequence number
    const uint32_t requestId = d.uint32();
    const auto it = std::find_if(m_pending.begin(), m_pending.end(), [requestId](const Pending &p) { return p.requestId == requestId; });
    if (it == m_pending.end())
        return 0; // a late answer to a request that timed out
    if (chunkType == 'A') {
        take(requestId, {S::E_FAIL, {}}, out);
        return 0;
    }
    if (chunkType != 'C' && chunkType != 'F')
        throw DecodeError("unknown chunk type");
    const QByteArrayView body = chunk.sliced(d.position());
    ++it->chunks;
    const uint32_t maxChunks = m_local.maxChunkCount ? m_local.maxChunkCount : 4096;
    const uint32_t maxBytes = it->maxBytes ? it->maxBytes : std::max<uint32_t>(m_local.maxMessageSize, MinBufferSize);
    if (static_cast<uint32_t>(it->chunks) > maxChunks || static_cast<uint64_t>(it->partial.size() + body.size()) > maxBytes) {
        take(requestId, {S::E_FAIL, {}}, out);
        return 0;
    }
    if (chunkType == 'C') {
        it->partial.append(body);
        return 0;
    }
    // A message of one chunk is copied once, out of the receive buffer.
    if (it->partial.isEmpty())
        take(requestId, {0, body.toByteArray()}, out);
    else
        take(requestId, {0, std::move(it->partial.append(body))}, out);
    return 0;
}

void Channel::take(uint32_t requestId, const Reply &reply, Deliveries &out)
{
    const auto it = std::find_if(m_pending.begin(), m_pending.end(), [requestId](const Pending &p) { return p.requestId == requestId; });
    if (it == m_pending.end())
        return;
    out.push_back({std::move(it->callback), reply});
    std::swap(*it, m_pending.back());
    m_pending.pop_back();
}

void Channel::checkDeadlines()
{
    Deliveries expired;
    {
        QMutexLocker lock(&m_lock);
        const qint64 now = nowMs();
        for (size_t i = 0; i < m_pending.size();)
            if (m_pending[i].deadline <= now)
                take(m_pending[i].requestId, {S::RPC_S_SERVER_UNAVAILABLE, {}, true}, expired);
            else
                ++i;
    }
    for (Delivery &d : expired)
        if (d.callback)
            d.callback(d.reply);
}

void Channel::onSocketError()
{
    if (m_state == State::Closed)
        return;
    if (!wasOpened())
        finishOpen(S::RPC_S_SERVER_UNAVAILABLE);
    else
        fail(S::RPC_S_SERVER_UNAVAILABLE);
}

// What a chunk that cannot be taken costs: while the channel opens, a
// server whose messages fail their security checks gets a number of its
// own; once open, the channel is lost and the bridge reconnects.
int32_t Channel::failureOf(const DecodeError &e, bool open)
{
    if (!open && dynamic_cast<const SecurityCheckFailed *>(&e))
        return S::UA_E_SECURITYCHECK;
    return S::RPC_S_SERVER_UNAVAILABLE;
}

void Channel::fail(int32_t error)
{
    std::vector<Pending> pending;
    bool wasOpen = false;
    {
        QMutexLocker lock(&m_lock);
        if (m_state == State::Closed)
            return;
        wasOpen = wasOpened();
        m_state = State::Closed;
        pending = std::exchange(m_pending, {});
        if (m_socket) {
            m_socket->disconnect(this);
            m_socket->close();
            m_socket->deleteLater();
            m_socket = nullptr;
        }
    }
    m_renew.stop();
    m_deadlines.stop();
    m_connectTimeout.stop();
    if (auto done = std::exchange(m_openDone, nullptr))
        done(error);
    for (const Pending &p : pending)
        if (p.callback)
            p.callback({error, {}});
    if (wasOpen && !m_closing)
        emit lost(error);
}

void Channel::close()
{
    {
        QMutexLocker lock(&m_lock);
        if (m_state == State::Open && m_socket)
            sendChunks("CLO", ++m_requestId, encodeRequest(Id::CloseSecureChannelRequest, {}, {}));
    }
    m_closing = true;
    fail(S::RPC_S_SERVER_UNAVAILABLE);
    m_closing = false;
}

} // namespace opc::ua
