// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/ua/client/session.h"
#include "opc/ua/wire/binary.h"

#include <QMutex>
#include <QObject>
#include <atomic>
#include <functional>
#include <map>
#include <vector>

namespace opc::ua {

// One cached item value as the last notification left it.
struct CachedValue {
    DataValue value;
    bool received = false;
    bool commFailure = false;
};

// What the window's thread reads without a round trip: the last value of
// every item, and whether the server can be reached.
class ValueCache {
public:
    CachedValue value(uint32_t handle) const;
    bool connected() const;

    // --- on the worker ---
    void setConnected(bool connected);
    // Every item keeps its value and shows the failure, or shows it no more.
    void markCommFailure(bool failed);
    void add(const std::vector<uint32_t> &handles);
    void erase(const std::vector<uint32_t> &handles);
    void clear();
    // The changes of one notification; a change without a value keeps the
    // value the item had.
    void update(const std::vector<std::pair<uint32_t, DataValue>> &changes);

private:
    mutable QMutex m_lock;
    std::map<uint32_t, CachedValue> m_values;
    bool m_connected = false;
};

// The groups as subscriptions and their items as monitored items, the
// publish loop that keeps the cache, and their making again on a new
// session. Lives on the worker.
class Subscriptions : public QObject {
    Q_OBJECT
public:
    using Done = std::function<void(int32_t error)>;
    using RateDone = std::function<void(int32_t error, double revised)>;

    struct ItemSpec {
        uint32_t handle;
        NodeId nodeId;
        double samplingInterval;
    };

    explicit Subscriptions(Session &session, QObject *parent = nullptr);

    void add(uint32_t groupKey, double rate, RateDone done);
    // A new publishing interval: ModifySubscription, or a new subscription
    // where the server will not modify this one.
    void modify(uint32_t groupKey, double rate, RateDone done);
    void remove(uint32_t groupKey, Done done);
    // Many items in as few requests as the server's limits allow.
    void addItems(uint32_t groupKey, const std::vector<ItemSpec> &items, Done done);
    void removeItems(uint32_t groupKey, const std::vector<uint32_t> &handles, Done done);

    // After a new session: every subscription and its items made again.
    void restore();
    // No publish request is outstanding any more (the session went).
    void stopPublishing() { m_outstandingPublish = 0; }
    // Forgets every subscription and value: the program let the server go.
    void clear();

    ValueCache &cache() { return m_cache; }
    const ValueCache &cache() const { return m_cache; }
    uint64_t notifications() const { return m_notifications; }

private:
    struct Item {
        NodeId nodeId;
        double samplingInterval = 0;
        uint32_t monitoredItemId = 0;
        QString namespaceUri; // so the index can follow the server's table after a reconnect
    };
    struct Subscription {
        double rate = 0;
        uint32_t id = 0;
        std::map<uint32_t, Item> items; // by handle
    };

    void create(uint32_t groupKey, RateDone done);
    void recreate(uint32_t groupKey, double rate, RateDone done);
    void deleteSubscription(uint32_t id, Done done = {});
    void createItems(uint32_t groupKey, std::vector<uint32_t> handles, Done done);
    void createItemsBatch(uint32_t groupKey, std::vector<uint32_t> handles, Done done);
    void publish();
    void onPublish(int32_t error, const QByteArray &message);

    Session &m_session;
    std::map<uint32_t, Subscription> m_subscriptions;  // by group key
    std::map<uint32_t, uint32_t> m_subscriptionGroup;  // subscription id -> group key
    std::vector<std::pair<uint32_t, uint32_t>> m_acks; // subscription id, sequence number
    std::map<uint32_t, uint32_t> m_lastSequence;       // by subscription id
    int m_outstandingPublish = 0;
    std::atomic<uint64_t> m_notifications = 0;
    ValueCache m_cache;
};

} // namespace opc::ua
