#include "opc/ua/channel.h"

#include "opc/errors.h"
#include "opc/ua/services.h"

#include <QDateTime>
#include <QTcpSocket>
#include <QtEndian>
#include <cstring>

namespace opc::ua {

namespace S = opc::Status;

namespace {
constexpr uint32_t ProtocolVersion = 0;
constexpr int HeaderSize = 8;          // type, chunk type, size
constexpr int SymmetricOverhead = 24;  // header, channel id, token id, sequence header
constexpr uint32_t MinBufferSize = 8192;

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
    const QByteArray message = encodeRequest(Id::OpenSecureChannelRequest, {}, [&](Encoder &e) {
        e.uint32(ProtocolVersion);
        e.int32(renew ? 1 : 0);
        e.int32(1); // security mode None
        e.byteString(ByteString::of({}));
        e.uint32(m_requestedLifetime);
    });
    const uint32_t requestId = ++m_requestId;
    m_pending.insert(requestId, {[this, renew](const Reply &reply) {
                                     if (reply.error) {
                                         if (!renew)
                                             finishOpen(reply.error);
                                         return;
                                     }
                                     try {
                                         Decoder d(reply.message);
                                         const Response r = decodeResponseStart(d);
                                         if (r.typeId != Id::OpenSecureChannelResponse || r.header.serviceResult.isBad())
                                             throw DecodeError("secure channel refused");
                                         d.uint32(); // server protocol version
                                         m_channelId = d.uint32();
                                         m_tokenId = d.uint32();
                                         d.dateTime();
                                         const uint32_t lifetime = std::max<uint32_t>(d.uint32(), 1000);
                                         m_renew.start(static_cast<int>(std::min<uint64_t>(lifetime * 3ull / 4, INT32_MAX)));
                                         if (renew)
                                             ++m_renewals;
                                         else
                                             finishOpen(0);
                                     } catch (const DecodeError &) {
                                         if (!renew)
                                             finishOpen(S::RPC_S_SERVER_UNAVAILABLE);
                                         else
                                             fail(S::RPC_S_SERVER_UNAVAILABLE);
                                     }
                                 },
                                 nowMs() + 10000, {}, 0});
    if (!renew)
        m_state = State::Opening;
    // Asymmetric security header for policy None: the policy, no
    // certificate, no thumbprint.
    Encoder e;
    e.uint32(m_channelId);
    e.string(SecurityPolicyNone);
    e.byteString({});
    e.byteString({});
    e.uint32(++m_sequence);
    e.uint32(requestId);
    e.raw(message);
    m_socket->write(frame("OPN", 'F', e.bytes()));
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

void Channel::request(const QByteArray &message, int timeoutMs, Callback callback)
{
    if (m_state != State::Open) {
        callback({S::RPC_S_SERVER_UNAVAILABLE, {}});
        return;
    }
    // A message the peer said it would not take is refused here, not sent.
    const qsizetype chunks = (message.size() + chunkRoom() - 1) / chunkRoom();
    if ((m_peer.maxMessageSize != 0 && static_cast<uint64_t>(message.size()) > m_peer.maxMessageSize) ||
        (m_peer.maxChunkCount != 0 && static_cast<uint64_t>(chunks) > m_peer.maxChunkCount)) {
        callback({S::E_FAIL, {}});
        return;
    }
    const uint32_t requestId = ++m_requestId;
    m_pending.insert(requestId, {std::move(callback), nowMs() + timeoutMs, {}, 0});
    sendChunks("MSG", requestId, message);
}

qsizetype Channel::chunkRoom() const
{
    return std::max<qsizetype>(m_peer.receiveBufferSize, MinBufferSize) - SymmetricOverhead;
}

void Channel::sendChunks(const char *type, uint32_t requestId, const QByteArray &body)
{
    const qsizetype room = chunkRoom();
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
        if (m_socket)
            m_socket->write(frame(type, last ? 'F' : 'C', e.bytes()));
        offset += n;
    } while (offset < body.size());
}

void Channel::openDetached(const TransportLimits &peer)
{
    m_peer = peer;
    m_state = State::Open;
    m_buffer.clear();
    m_deadlines.start();
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
            fail(S::RPC_S_SERVER_UNAVAILABLE); // a chunk larger than we allowed
            return;
        }
        if (static_cast<uint32_t>(m_buffer.size()) < size)
            return;
        const QByteArray chunk = m_buffer.mid(HeaderSize, size - HeaderSize);
        m_buffer.remove(0, size);
        try {
            handleChunk(type, chunkType, chunk);
        } catch (const DecodeError &) {
            fail(S::RPC_S_SERVER_UNAVAILABLE);
            return;
        }
        if (m_state == State::Closed)
            return;
    }
}

void Channel::handleChunk(const QByteArray &type, char chunkType, const QByteArray &chunk)
{
    Decoder d(chunk);
    if (type == "ACK") {
        if (m_state != State::Hello)
            throw DecodeError("unexpected acknowledge");
        d.uint32();
        m_peer.receiveBufferSize = d.uint32();
        m_peer.sendBufferSize = d.uint32();
        m_peer.maxMessageSize = d.uint32();
        m_peer.maxChunkCount = d.uint32();
        if (m_peer.receiveBufferSize < MinBufferSize)
            throw DecodeError("receive buffer too small");
        sendOpen(false);
        return;
    }
    if (type == "ERR") {
        fail(S::RPC_S_SERVER_UNAVAILABLE);
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
    if (static_cast<uint32_t>(it->chunks) > maxChunks ||
        static_cast<uint64_t>(it->partial.size()) > std::max<uint32_t>(m_local.maxMessageSize, MinBufferSize)) {
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
