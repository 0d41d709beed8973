// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/ua/client/client.h"

#include <QString>

// The bridge's client as the benches drive it: on a worker of its own,
// connected to one endpoint, its reads sent from the calling thread as the
// bridge's items send theirs.
class BenchClient {
public:
    BenchClient(const QString &url, const QString &endpoint)
    {
        QObject *context = m_worker.context();
        m_worker.call<int>(2000, 0, [context, this](std::function<void(int)> done) {
            m_client = new opc::ua::Client(context);
            done(0);
        });
        const opc::ua::Target target = *opc::ua::parseTarget(url);
        opc::ua::Client *client = m_client;
        m_connected = m_worker.call<int32_t>(12000, -1, [client, target, endpoint](std::function<void(int32_t)> done) {
            client->connectTo(target, endpoint, 10000, done);
        }) == 0;
    }
    ~BenchClient()
    {
        opc::ua::Client *client = m_client;
        m_worker.call<int32_t>(5000, -1, [client](std::function<void(int32_t)> done) {
            client->disconnectFrom([client, done](int32_t e) {
                client->deleteLater();
                done(e);
            });
        });
    }
    bool connected() const { return m_connected; }
    opc::ua::Worker &worker() { return m_worker; }
    opc::ua::Client *client() const { return m_client; }

    // One Read of this list (encodeReadList): the values decoded.
    size_t read(const QByteArray &list)
    {
        using namespace opc::ua;
        opc::ua::Client *client = m_client;
        const QByteArray message = m_worker.callHere<QByteArray>(11000, {}, [client, &list](std::function<void(QByteArray)> done) {
            client->callFromAnyThread(Id::ReadRequest,
                                      [list](Encoder &e) {
                                          e.float64(0);
                                          e.int32(2);
                                          e.raw(list);
                                      },
                                      10000, [done](int32_t, const QByteArray &m) { done(m); });
        });
        try {
            Decoder d(message);
            decodeResponseStart(d);
            return d.array([](Decoder &x) { return x.dataValue(); }).size();
        } catch (const DecodeError &) {
            return 0;
        }
    }

private:
    opc::ua::Worker m_worker;
    opc::ua::Client *m_client = nullptr;
    bool m_connected = false;
};
