// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/ua/client/socket.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QSocketNotifier>
#include <QThread>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/crypto.h>
#include <sys/socket.h>
#include <unistd.h>

namespace opc::ua {

namespace {
// A peer that is gone without a word (a cable pulled, a NAT entry
// expired) is found by the kernel too: probes after 30 s of silence, and
// data it has not acknowledged for 30 s ends the connection.
void keepAlive(int fd)
{
    const int on = 1, idle = 30, interval = 10, probes = 3;
    const unsigned int unacknowledgedMs = 30000;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledgedMs, sizeof unacknowledgedMs);
}
} // namespace

StreamSocket::StreamSocket(QObject *parent) : QObject(parent) {}

StreamSocket::~StreamSocket() { close(); }

void StreamSocket::connectTo(const QString &host, quint16 port)
{
    if (!QHostAddress(host).isNull())
        return start(host, port);
    QHostInfo::lookupHost(host, this, [this, port](const QHostInfo &info) { resolved(info, port); });
}

void StreamSocket::resolved(const QHostInfo &info, quint16 port)
{
    // IPv4 first: what most plant networks speak.
    const auto addresses = info.addresses();
    for (int v4 : {1, 0})
        for (const QHostAddress &a : addresses)
            if ((a.protocol() == QAbstractSocket::IPv4Protocol) == bool(v4))
                return start(a.toString(), port);
    fail();
}

void StreamSocket::start(const QString &address, quint16 port)
{
    const QHostAddress host(address);
    sockaddr_storage to{};
    socklen_t length = 0;
    if (host.protocol() == QAbstractSocket::IPv4Protocol) {
        auto *in = reinterpret_cast<sockaddr_in *>(&to);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        in->sin_addr.s_addr = htonl(host.toIPv4Address());
        length = sizeof(sockaddr_in);
    } else {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&to);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = host.toIPv6Address();
        std::copy(std::begin(bytes.c), std::end(bytes.c), in6->sin6_addr.s6_addr);
        length = sizeof(sockaddr_in6);
    }
    const int fd = ::socket(to.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return fail();
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    keepAlive(fd);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&to), length) != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return fail();
    }
    {
        QMutexLocker lock(&m_lock);
        m_fd = fd;
        m_connecting = true;
    }
    m_read = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    m_read->setEnabled(false);
    connect(m_read, &QSocketNotifier::activated, this, &StreamSocket::readable);
    m_write = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    connect(m_write, &QSocketNotifier::activated, this, &StreamSocket::writable);
}

// The connect has ended, or the connection takes what waited.
void StreamSocket::writable()
{
    QMutexLocker lock(&m_lock);
    if (m_connecting) {
        int error = 0;
        socklen_t size = sizeof error;
        if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
            lock.unlock();
            return fail();
        }
        m_connecting = false;
        m_write->setEnabled(false);
        m_read->setEnabled(true);
        lock.unlock();
        emit connected();
        return;
    }
    while (m_waitingAt < m_waiting.size()) {
        const ssize_t n = ::send(m_fd, m_waiting.constData() + m_waitingAt, static_cast<size_t>(m_waiting.size() - m_waitingAt),
                                 MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            lock.unlock();
            return fail();
        }
        m_waitingAt += n;
    }
    forgetWaiting();
    m_write->setEnabled(false);
}

qsizetype StreamSocket::receive(char *into, qsizetype room)
{
    if (m_fd < 0)
        return -1;
    const ssize_t n = ::recv(m_fd, into, static_cast<size_t>(room), 0);
    if (n > 0)
        return n;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return 0;
    return -1; // closed by the peer, or broken
}

bool StreamSocket::send(QByteArrayView bytes)
{
    QMutexLocker lock(&m_lock);
    if (m_fd < 0 || m_connecting)
        return false;
    qsizetype sent = 0;
    if (m_waitingAt == m_waiting.size()) {
        const ssize_t n = ::send(m_fd, bytes.data(), static_cast<size_t>(bytes.size()), MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        sent = n < 0 ? 0 : n;
    }
    if (sent == bytes.size())
        return true;
    // The rest goes when the connection has room, from this object's thread.
    wait(bytes.sliced(sent));
    if (QThread::currentThread() == thread())
        m_write->setEnabled(true);
    else
        QMetaObject::invokeMethod(this, [this] {
            QMutexLocker again(&m_lock);
            if (m_write && m_waitingAt < m_waiting.size())
                m_write->setEnabled(true);
        }, Qt::QueuedConnection);
    return true;
}

void StreamSocket::close()
{
    delete m_read;
    delete m_write;
    m_read = m_write = nullptr;
    QMutexLocker lock(&m_lock);
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    forgetWaiting();
}

// What waits may hold a request with a password in it: it is never left
// behind in memory given back, neither when the buffer grows nor when it
// is done with.
void StreamSocket::wait(QByteArrayView bytes)
{
    const qsizetype kept = m_waiting.size() - m_waitingAt;
    if (m_waitingAt > 0 || m_waiting.capacity() < kept + bytes.size()) {
        QByteArray grown;
        grown.reserve(std::max<qsizetype>(2 * (kept + bytes.size()), 4096));
        grown.append(QByteArrayView(m_waiting).sliced(m_waitingAt));
        forgetWaiting();
        m_waiting = std::move(grown);
    }
    m_waiting.append(bytes);
}

void StreamSocket::forgetWaiting()
{
    if (m_waiting.capacity() > 0 && m_waiting.isDetached()) {
        m_waiting.resize(m_waiting.capacity());
        OPENSSL_cleanse(m_waiting.data(), static_cast<size_t>(m_waiting.size()));
    }
    m_waiting = QByteArray();
    m_waitingAt = 0;
}

void StreamSocket::fail()
{
    close();
    emit failed();
}

} // namespace opc::ua
