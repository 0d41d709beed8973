// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/ua/client/session.h"
#include "opc/ua/wire/binary.h"

#include <QMutex>
#include <QObject>
#include <QTimer>
#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
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
    // These items keep their values and show the failure until new ones come.
    void markCommFailure(const std::vector<uint32_t> &handles);
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

// The keep-alive bound of a subscription (OPC 10000-4 §5.13.1.1): the
// server answers a Publish for it at least once per granted publishing
// interval times granted maximum keep-alive count; the margin covers the
// way there and back. Past it the connection counts as lost.
qint64 keepAliveBoundMs(double publishingIntervalMs, uint32_t maxKeepAliveCount);

// The groups as subscriptions and their items as monitored items, the
// publish loop that keeps the cache and watches the server through it, and
// their making again on a new session. Lives on the worker.
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

    // What a group asks runs one after the other, in the order asked: a
    // rate change that takes long is not overtaken by the next one.
    void add(uint32_t groupKey, double rate, RateDone done);
    // A new publishing interval: ModifySubscription, or a new subscription
    // where the server will not modify this one.
    void modify(uint32_t groupKey, double rate, RateDone done);
    // At once, even while something of the group is under way: whatever
    // the group holds on the server, or is given later, is deleted.
    void remove(uint32_t groupKey, Done done);
    // Many items in as few requests as the server's limits allow.
    void addItems(uint32_t groupKey, const std::vector<ItemSpec> &items, Done done);
    void removeItems(uint32_t groupKey, const std::vector<uint32_t> &handles, Done done);
    // The interval the group's subscription has now, once what was asked
    // before has run: a rate change the window stopped waiting for counts.
    void rate(uint32_t groupKey, RateDone done);

    // After a new session: every subscription and its items made again.
    void restore();
    // No publish request is outstanding any more, and nothing is watched
    // (the session went, or is being made again).
    void stopPublishing();
    // Forgets every subscription and value: the program let the server go.
    void clear();

    ValueCache &cache() { return m_cache; }
    const ValueCache &cache() const { return m_cache; }
    uint64_t notifications() const { return m_notifications; }
    // For tests: the subscriptions held on the server, and the Republish
    // requests under way.
    size_t held() const { return m_holder.size(); }
    int republishing() const;

private:
    static constexpr int ServiceTimeoutMs = 5000;
    struct Item {
        NodeId nodeId;
        double samplingInterval = 0;
        uint32_t monitoredItemId = 0;
        QString namespaceUri; // so the index can follow the server's table after a reconnect
    };
    struct Subscription {
        double rate = 0;  // asked, then granted
        uint32_t id = 0;  // 0 while none is made
        std::map<uint32_t, Item> items; // by handle
    };
    // A subscription just made: its id and what the server granted.
    struct Made {
        uint32_t id = 0;
        double interval = 0;
        uint32_t keepAliveCount = 0;
    };
    using MadeDone = std::function<void(int32_t error, const Made &made)>;
    using Op = std::function<void(std::function<void()> finished)>;
    // Monitored item ids by handle, as one subscription's items were made.
    using Monitored = std::map<uint32_t, uint32_t>;
    using ItemsDone = std::function<void(int32_t error, const Monitored &made)>;
    struct ItemsRun;

    // Runs op once the group's earlier operations have finished.
    void serial(uint32_t groupKey, Op op);
    void runNext(uint32_t groupKey);
    void create(uint32_t groupKey, RateDone done);
    void makeSubscription(uint32_t groupKey, double rate, MadeDone done);
    void changeRate(uint32_t groupKey, double rate, RateDone done);
    void recreate(uint32_t groupKey, double rate, RateDone done);
    // A subscription the group holds no more (or never got) goes.
    void release(uint32_t id);
    void deleteSubscription(uint32_t id, Done done = {});
    // The items made on that subscription, sampled at `sampling` or at
    // their own interval.
    void createItems(uint32_t groupKey, uint32_t subscriptionId, std::vector<uint32_t> handles,
                     std::optional<double> sampling, ItemsDone done);
    void itemsStep(const std::shared_ptr<ItemsRun> &run);
    // The subscription of a group made again with its items.
    void remake(uint32_t groupKey);
    // The server ended a subscription or gave it to another session: its
    // items show it, and it is made again.
    void ended(uint32_t subscriptionId);

    // The publish loop, the watch on the keep-alive and what was missed.
    void publish();
    void onPublish(int32_t error, const QByteArray &message);
    void watch(const Made &made);
    void checkKeepAlive();
    int publishTimeoutMs() const;
    void missed(uint32_t subscriptionId, uint32_t from, uint32_t to);
    void republishNext(uint32_t subscriptionId);

    Session &m_session;
    std::map<uint32_t, Subscription> m_subscriptions;  // by group key
    std::map<uint32_t, uint32_t> m_holder;             // subscription id -> group key: what we hold on the server
    std::set<uint32_t> m_released;                     // ids asked to go, this session
    int m_creating = 0;                                // CreateSubscription requests under way
    std::map<uint32_t, std::deque<Op>> m_queues;       // by group key
    std::set<uint32_t> m_busy;                         // groups with an operation under way
    std::vector<std::pair<uint32_t, uint32_t>> m_acks; // subscription id, sequence number
    std::map<uint32_t, uint32_t> m_lastSequence;       // by subscription id
    int m_outstandingPublish = 0;
    bool m_publishRefused = false; // a Publish failed while the loop was sending
    bool m_cleared = false; // by a disconnect: late answers are the closing session's

    struct Watch {
        qint64 heardAt = 0; // the last answer that named it
        qint64 boundMs = 0;
    };
    std::map<uint32_t, Watch> m_watches; // by subscription id
    QTimer m_watchdog;

    struct Gap {
        std::deque<uint32_t> missing; // sequence numbers still to ask for, oldest first
        bool asking = false;          // one Republish under way
    };
    std::map<uint32_t, Gap> m_gaps; // by subscription id

    std::atomic<uint64_t> m_notifications = 0;
    ValueCache m_cache;
};

} // namespace opc::ua
