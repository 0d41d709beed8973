// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/ua/client/channel.h"

#include "opc/errors.h"
#include "opc/ua/security/securechunk.h"
#include "opc/ua/wire/services.h"

#include <QDateTime>
#include <QTcpSocket>
#include <QtEndian>
#include <cstring>

namespace opc::ua {

namespace S = opc::Status;

namespace {
constexpr uint32_t ProtocolVersion = 0;
constexpr int HeaderSize = 8;          // type, chunk type, size

qint64 nowMs() { return QDateTime::currentMSecsSinceEpoch(); }

QByteArray frame(const char *type, char chunkType, const QByteArray &payload)
{
    Encoder e;
    e.raw(QByteArray(type, 3));
    e.byte(static_cast<uint8_t>(chunkType));
    e.uint32(static_cast<uint32_t>(HeaderSize + payload.size()));
    e.raw(payload);
    return e.take();
}
} // namespace

Channel::Channel(QObject *parent) : QObject(parent)
{
    m_deadlines.setInterval(50);
    connect(&m_deadlines, &QTimer::timeout, this, &Channel::checkDeadlines);
    m_renew.setSingleShot(true);
    connect(&m_renew, &QTimer::timeout, this, [this] { sendOpen(true); });
    m_connectTimeout.setSingleShot(true);
    connect(&m_connectTimeout, &QTimer::timeout, this, [this] { finishOpen(S::RPC_S_SERVER_UNAVAILABLE); });
}

// Pending callbacks are dropped unheard: their owner is going too.
Channel::~Channel()
{
    m_openDone = nullptr;
    m_pending.clear();
}

void Channel::open(const QString &host, quint16 port, const QString &endpointUrl, int timeoutMs, Done done)
{
    if (m_state != State::Closed) {
        done(S::E_FAIL);
        return;
    }
    m_openDone = std::move(done);
    m_endpointUrl = endpointUrl;
    m_buffer.clear();
    m_channelId = m_tokenId = m_sequence = 0;
    m_previousTokenId = m_receivedSequence = 0;
    m_sequenceStarted = false;
    if (m_security.secured() && (!m_security.ownKey || !m_security.serverKey)) {
        std::exchange(m_openDone, nullptr)(S::E_FAIL);
        return;
    }
    delete m_socket;
    m_socket = new QTcpSocket(this);
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(m_socket, &QTcpSocket::connected, this, &Channel::onConnected);
    connect(m_socket, &QTcpSocket::readyRead, this, &Channel::onReadyRead);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &Channel::onSocketError);
    connect(m_socket, &QTcpSocket::disconnected, this, &Channel::onSocketError);
    m_state = State::Connecting;
    m_connectTimeout.start(timeoutMs);
    m_deadlines.start();
    m_socket->connectToHost(host, port);
}

void Channel::onConnected()
{
    m_state = State::Hello;
    Encoder e;
    e.uint32(ProtocolVersion);
    e.uint32(m_local.receiveBufferSize);
    e.uint32(m_local.sendBufferSize);
    e.uint32(m_local.maxMessageSize);
    e.uint32(m_local.maxChunkCount);
    e.string(m_endpointUrl);
    m_socket->write(frame("HEL", 'F', e.bytes()));
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
    m_pending.insert(requestId, {[this, renew, clientNonce](const Reply &reply) {
                                     if (reply.error) {
                                         if (!renew)
                                             finishOpen(reply.error);
                                         return;
                                     }
                                     try {
                                         Decoder d(reply.message);
                                         const Response r = decodeResponseStart(d);
                                         if (!renew && m_security.secured() &&
                                             refusesOurCertificate(r.header.serviceResult.code))
                                             return finishOpen(S::UA_E_OWNCERTREFUSED);
                                         if (r.typeId != Id::OpenSecureChannelResponse || r.header.serviceResult.isBad())
                                             throw DecodeError("secure channel refused");
                                         d.uint32(); // server protocol version
                                         m_channelId = d.uint32();
                                         const uint32_t tokenId = d.uint32();
                                         d.dateTime();
                                         const uint32_t lifetime = std::max<uint32_t>(d.uint32(), 1000);
                                         takeToken(tokenId, lifetime, d.byteString(), clientNonce);
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
                                 nowMs() + 10000, {}, 0});
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
    e.uint32(m_channelId);
    e.raw(header.bytes());
    e.uint32(++m_sequence);
    e.uint32(requestId);
    e.raw(message);
    QByteArray chunk = frame("OPN", 'F', e.bytes());
    if (secured) {
        const auto sealed = secureAsymmetric(m_security.policy, *m_security.ownKey, *m_security.serverKey,
                                             static_cast<int>(header.size()), chunk);
        if (!sealed) {
            m_pending.remove(requestId);
            if (!renew)
                finishOpen(S::E_FAIL);
            else
                fail(S::E_FAIL);
            return;
        }
        chunk = *sealed;
    }
    m_socket->write(chunk);
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

void Channel::request(const QByteArray &message, int timeoutMs, Callback callback, uint32_t maxReplyBytes)
{
    if (m_state != State::Open) {
        callback({S::RPC_S_SERVER_UNAVAILABLE, {}});
        return;
    }
    // A message the peer said it would not take is refused here, not sent.
    if (!chunksFor(message.size(), chunkBody(m_peer.receiveBufferSize, m_security.policy, m_security.mode), m_peer)) {
        callback({S::E_FAIL, {}});
        return;
    }
    const uint32_t requestId = ++m_requestId;
    m_pending.insert(requestId, {std::move(callback), nowMs() + timeoutMs, {}, 0, maxReplyBytes});
    sendChunks("MSG", requestId, message);
}

void Channel::sendChunks(const char *type, uint32_t requestId, const QByteArray &body)
{
    const qsizetype room = chunkBody(m_peer.receiveBufferSize, m_security.policy, m_security.mode);
    qsizetype offset = 0;
    do {
        const qsizetype n = std::min(room, body.size() - offset);
        const bool last = offset + n >= body.size();
        Encoder e;
        e.uint32(m_channelId);
        e.uint32(m_tokenId);
        e.uint32(++m_sequence);
        e.uint32(requestId);
        e.raw(body.mid(offset, n));
        QByteArray chunk = frame(type, last ? 'F' : 'C', e.bytes());
        if (m_security.secured()) {
            const auto sealed = secureSymmetric(m_security.policy, m_security.mode, m_sending, chunk);
            if (!sealed) {
                fail(S::E_FAIL);
                return;
            }
            chunk = *sealed;
        }
        if (m_socket)
            m_socket->write(chunk);
        offset += n;
    } while (offset < body.size());
}

void Channel::openDetached(const TransportLimits &peer)
{
    m_peer = negotiate(m_local, peer).value_or(TransportLimits{});
    m_state = State::Open;
    m_buffer.clear();
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

void Channel::onReadyRead() { feed(m_socket->readAll()); }

void Channel::feed(const QByteArray &bytes)
{
    m_buffer.append(bytes);
    while (m_buffer.size() >= HeaderSize) {
        const QByteArray type = m_buffer.left(3);
        const char chunkType = m_buffer.at(3);
        uint32_t size;
        std::memcpy(&size, m_buffer.constData() + 4, 4);
        size = qFromLittleEndian(size);
        if (size < HeaderSize || size > std::max(m_local.receiveBufferSize, MinBufferSize)) {
            // A chunk larger than we allowed: while opening the server is
            // told apart, once open the channel is lost.
            fail(m_state == State::Open ? S::RPC_S_SERVER_UNAVAILABLE : S::UA_E_TRANSPORTLIMITS);
            return;
        }
        if (static_cast<uint32_t>(m_buffer.size()) < size)
            return;
        const QByteArray chunk = m_buffer.left(size);
        m_buffer.remove(0, size);
        try {
            handleChunk(type, chunkType, chunk);
        } catch (const DecodeError &e) {
            fail(failureOf(e, m_state == State::Open));
            return;
        }
        if (m_state == State::Closed)
            return;
    }
}

// With security, the chunk is opened and checked before anything of it is
// read: signature, padding, token and sequence.
QByteArray Channel::unsecure(const QByteArray &type, const QByteArray &chunk)
{
    if (!m_security.secured() || (type != "OPN" && type != "MSG" && type != "CLO"))
        return chunk.mid(HeaderSize);
    std::optional<QByteArray> plain;
    qsizetype sequenceAt = 0;
    if (type == "OPN") {
        Decoder d(chunk.mid(12));
        if (d.string() != QLatin1String(traitsOf(m_security.policy).uri) ||
            d.byteString().data != m_security.serverCertificate ||
            d.byteString().data != certificateThumbprint(m_security.ownCertificate))
            throw SecurityCheckFailed("not the channel's security");
        sequenceAt = 12 + d.position();
        plain = openAsymmetric(m_security.policy, *m_security.ownKey, *m_security.serverKey, static_cast<int>(d.position()),
                               chunk);
    } else {
        if (chunk.size() < SymmetricHeadersLength)
            throw DecodeError("chunk too short");
        const uint32_t tokenId = qFromLittleEndian<quint32>(chunk.constData() + 12);
        const bool previous = tokenId == m_previousTokenId && nowMs() <= m_previousUntil;
        const SymmetricKeys *keys = tokenId == m_tokenId ? &m_receiving : previous ? &m_previousReceiving : nullptr;
        if (!keys || tokenId == 0)
            throw SecurityCheckFailed("unknown token");
        sequenceAt = SymmetricHeadersLength;
        plain = openSymmetric(m_security.policy, m_security.mode, *keys, chunk);
        if (plain && tokenId == m_tokenId && m_previousTokenId != 0) {
            m_previousTokenId = 0; // the server has moved to the new token
            m_previousReceiving = {};
        }
    }
    if (!plain || plain->size() < sequenceAt + SequenceHeaderLength)
        throw SecurityCheckFailed("chunk does not verify");
    // Each chunk follows the one before (OPC 10000-6 §6.7.2.4); after
    // 4,294,966,271 it may start again below 1024.
    const uint32_t sequence = qFromLittleEndian<quint32>(plain->constData() + sequenceAt);
    if (m_sequenceStarted && sequence != m_receivedSequence + 1 &&
        !(m_receivedSequence > 4294966271u && sequence < 1024))
        throw SecurityCheckFailed("sequence number out of order");
    m_sequenceStarted = true;
    m_receivedSequence = sequence;
    return plain->mid(HeaderSize);
}

void Channel::handleChunk(const QByteArray &type, char chunkType, const QByteArray &raw)
{
    const QByteArray chunk = unsecure(type, raw);
    Decoder d(chunk);
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
        if (!agreed) {
            fail(S::UA_E_TRANSPORTLIMITS);
            return;
        }
        m_peer = *agreed;
        sendOpen(false);
        return;
    }
    if (type == "ERR") {
        // A server that will not open a secured channel with us says why:
        // most often it does not (yet) trust our certificate.
        const uint32_t code = d.uint32() & 0xFFFF0000u;
        const bool refusedUs = m_state != State::Open && m_security.secured() && refusesOurCertificate(code);
        fail(refusedUs ? S::UA_E_OWNCERTREFUSED : S::RPC_S_SERVER_UNAVAILABLE);
        return;
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
    auto it = m_pending.find(requestId);
    if (it == m_pending.end())
        return; // a late answer to a request that timed out
    if (chunkType == 'A') {
        deliver(requestId, {S::E_FAIL, {}});
        return;
    }
    if (chunkType != 'C' && chunkType != 'F')
        throw DecodeError("unknown chunk type");
    it->partial.append(d.rest());
    ++it->chunks;
    const uint32_t maxChunks = m_local.maxChunkCount ? m_local.maxChunkCount : 4096;
    const uint32_t maxBytes = it->maxBytes ? it->maxBytes : std::max<uint32_t>(m_local.maxMessageSize, MinBufferSize);
    if (static_cast<uint32_t>(it->chunks) > maxChunks || static_cast<uint64_t>(it->partial.size()) > maxBytes) {
        deliver(requestId, {S::E_FAIL, {}});
        return;
    }
    if (chunkType == 'F') {
        const QByteArray message = std::move(it->partial);
        deliver(requestId, {0, message});
    }
}

void Channel::deliver(uint32_t requestId, const Reply &reply)
{
    auto it = m_pending.find(requestId);
    if (it == m_pending.end())
        return;
    Callback callback = std::move(it->callback);
    m_pending.erase(it);
    if (callback)
        callback(reply);
}

void Channel::checkDeadlines()
{
    const qint64 now = nowMs();
    QList<uint32_t> expired;
    for (auto it = m_pending.cbegin(); it != m_pending.cend(); ++it)
        if (it->deadline <= now)
            expired << it.key();
    for (uint32_t id : expired)
        deliver(id, {S::RPC_S_SERVER_UNAVAILABLE, {}});
}

void Channel::onSocketError()
{
    if (m_state == State::Closed)
        return;
    if (m_state != State::Open)
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
    if (m_state == State::Closed)
        return;
    const bool wasOpen = m_state == State::Open;
    m_state = State::Closed;
    m_renew.stop();
    m_deadlines.stop();
    m_connectTimeout.stop();
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
        m_socket->deleteLater();
        m_socket = nullptr;
    }
    if (auto done = std::exchange(m_openDone, nullptr))
        done(error);
    const auto pending = std::exchange(m_pending, {});
    for (const Pending &p : pending)
        if (p.callback)
            p.callback({error, {}});
    if (wasOpen && !m_closing)
        emit lost(error);
}

void Channel::close()
{
    if (m_state == State::Open && m_socket) {
        const QByteArray message = encodeRequest(Id::CloseSecureChannelRequest, {}, {});
        sendChunks("CLO", ++m_requestId, message);
        m_socket->flush();
    }
    m_closing = true;
    fail(S::RPC_S_SERVER_UNAVAILABLE);
    m_closing = false;
}

} // namespace opc::ua
