// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QMutex>
#include <QObject>
#include <QString>

class QHostInfo;
class QSocketNotifier;

namespace opc::ua {

// The channel's TCP connection: non-blocking, read straight into the
// caller's buffer, written at once from whichever thread sends (what the
// connection cannot take yet goes when it can, in order). Its notifiers,
// and so its signals, belong to the thread that made it.
class StreamSocket : public QObject {
    Q_OBJECT
public:
    explicit StreamSocket(QObject *parent = nullptr);
    ~StreamSocket() override;

    // Resolves the host when it is a name, then connects.
    void connectTo(const QString &host, quint16 port);
    // What has arrived, at most `room` bytes: their count, 0 when nothing
    // waits, -1 when the connection has gone.
    qsizetype receive(char *into, qsizetype room);
    // From any thread; false once the connection has gone.
    bool send(QByteArrayView bytes);
    void close();

signals:
    void connected();
    void readable();
    void failed();

private:
    void resolved(const QHostInfo &info, quint16 port);
    void start(const QString &address, quint16 port);
    void writable();
    void fail();
    // With the lock held.
    void wait(QByteArrayView bytes);
    void forgetWaiting();

    int m_fd = -1;
    bool m_connecting = false;
    QSocketNotifier *m_read = nullptr;
    QSocketNotifier *m_write = nullptr;
    QMutex m_lock;      // the descriptor and what waits, for send()
    QByteArray m_waiting; // what the connection has not taken yet, from m_waitingAt on
    qsizetype m_waitingAt = 0;
};

} // namespace opc::ua
