// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/ua/client/subscriptions.h"

#include "opc/errors.h"

#include <QTimer>
#include <algorithm>
#include <cmath>

namespace opc::ua {

namespace S = opc::Status;

namespace {
constexpr int CreateItemsTimeoutMs = 10000;
// A server may take long to make a subscription (one that will not modify
// it makes a new one each time): its answer is awaited well past the
// window's wait, so that a subscription made late is still known, and
// deleted when its group has gone meanwhile.
constexpr int CreateSubscriptionTimeoutMs = 30000;
// Monitored items per CreateMonitoredItems when the server names no limit.
constexpr size_t DefaultItemsPerCall = 1000;
constexpr uint32_t RequestedLifetimeCount = 1200;
constexpr uint32_t RequestedKeepAliveCount = 10;

void encodeCounts(Encoder &e)
{
    e.uint32(RequestedLifetimeCount);
    e.uint32(RequestedKeepAliveCount);
    e.uint32(0); // notifications per publish: no limit
}
} // namespace

// --- the cache -----------------------------------------------------------------

CachedValue ValueCache::value(uint32_t handle) const
{
    QMutexLocker lock(&m_lock);
    const auto it = m_values.find(handle);
    return it == m_values.end() ? CachedValue{} : it->second;
}

bool ValueCache::connected() const
{
    QMutexLocker lock(&m_lock);
    return m_connected;
}

void ValueCache::setConnected(bool connected)
{
    QMutexLocker lock(&m_lock);
    m_connected = connected;
}

void ValueCache::markCommFailure(bool failed)
{
    QMutexLocker lock(&m_lock);
    m_connected = !failed;
    for (auto &[handle, cached] : m_values)
        cached.commFailure = failed;
}

void ValueCache::markCommFailure(const std::vector<uint32_t> &handles)
{
    QMutexLocker lock(&m_lock);
    for (uint32_t h : handles)
        if (auto it = m_values.find(h); it != m_values.end())
            it->second.commFailure = true;
}

void ValueCache::add(const std::vector<uint32_t> &handles)
{
    QMutexLocker lock(&m_lock);
    for (uint32_t h : handles)
        m_values[h] = CachedValue{};
}

void ValueCache::erase(const std::vector<uint32_t> &handles)
{
    QMutexLocker lock(&m_lock);
    for (uint32_t h : handles)
        m_values.erase(h);
}

void ValueCache::clear()
{
    QMutexLocker lock(&m_lock);
    m_connected = false;
    m_values.clear();
}

void ValueCache::update(const std::vector<std::pair<uint32_t, DataValue>> &changes)
{
    QMutexLocker lock(&m_lock);
    for (const auto &[handle, value] : changes) {
        auto it = m_values.find(handle);
        if (it == m_values.end())
            continue;
        DataValue v = value;
        if (!v.value && it->second.received)
            v.value = it->second.value.value;
        it->second = CachedValue{v, true, false};
    }
}

// --- one group's operations, one after the other ---------------------------------

Subscriptions::Subscriptions(Session &session, QObject *parent) : QObject(parent), m_session(session)
{
    connect(&m_watchdog, &QTimer::timeout, this, &Subscriptions::checkKeepAlive);
}

void Subscriptions::serial(uint32_t groupKey, Op op)
{
    m_queues[groupKey].push_back(std::move(op));
    runNext(groupKey);
}

void Subscriptions::runNext(uint32_t groupKey)
{
    auto queue = m_queues.find(groupKey);
    if (queue == m_queues.end() || queue->second.empty() || m_busy.count(groupKey))
        return;
    Op op = std::move(queue->second.front());
    queue->second.pop_front();
    m_busy.insert(groupKey);
    // Items are made by the session's namespace table and limits, which a
    // new session answers a moment after it is made.
    m_session.afterFacts([this, groupKey, op = std::move(op)] {
        op([this, groupKey] {
            m_busy.erase(groupKey);
            // The next one from the event loop: operations that end at once
            // (the channel is down) do not pile up on the stack.
            QTimer::singleShot(0, this, [this, groupKey] { runNext(groupKey); });
        });
    });
}

void Subscriptions::add(uint32_t groupKey, double rate, RateDone done)
{
    // Known at once, so that a removal before it runs finds it.
    m_cleared = false;
    m_subscriptions[groupKey];
    serial(groupKey, [this, groupKey, rate, done](std::function<void()> finished) {
        const auto answer = [done, finished](int32_t error, double revised) {
            done(error, revised);
            finished();
        };
        auto it = m_subscriptions.find(groupKey);
        if (it == m_subscriptions.end())
            return answer(S::E_FAIL, 0);
        // Made by an earlier request the window stopped waiting for.
        if (it->second.id != 0)
            return changeRate(groupKey, rate, answer);
        it->second.rate = rate;
        create(groupKey, [this, groupKey, answer](int32_t error, double revised) {
            if (auto it = m_subscriptions.find(groupKey); error && it != m_subscriptions.end() && it->second.id == 0)
                m_subscriptions.erase(it);
            answer(error, revised);
        });
    });
}

void Subscriptions::modify(uint32_t groupKey, double rate, RateDone done)
{
    serial(groupKey, [this, groupKey, rate, done](std::function<void()> finished) {
        changeRate(groupKey, rate, [done, finished](int32_t error, double revised) {
            done(error, revised);
            finished();
        });
    });
}

void Subscriptions::remove(uint32_t groupKey, Done done)
{
    if (auto it = m_subscriptions.find(groupKey); it != m_subscriptions.end()) {
        std::vector<uint32_t> handles;
        for (const auto &[handle, item] : it->second.items)
            handles.push_back(handle);
        m_cache.erase(handles);
        m_subscriptions.erase(it);
    }
    // Everything the group holds on the server: its subscription, and the
    // one a rate change is making for it.
    std::vector<uint32_t> ids;
    for (const auto &[id, group] : m_holder)
        if (group == groupKey)
            ids.push_back(id);
    for (uint32_t id : ids) {
        m_holder.erase(id);
        m_watches.erase(id);
        m_gaps.erase(id);
        m_lastSequence.erase(id);
        m_released.insert(id);
    }
    if (ids.empty())
        return done(0);
    m_session.call(Id::DeleteSubscriptionsRequest,
                   [ids](Encoder &e) { e.array(ids, [](Encoder &x, uint32_t v) { x.uint32(v); }); }, ServiceTimeoutMs,
                   [done](int32_t error, const QByteArray &) { done(error); });
}

void Subscriptions::rate(uint32_t groupKey, RateDone done)
{
    serial(groupKey, [this, groupKey, done](std::function<void()> finished) {
        const auto it = m_subscriptions.find(groupKey);
        if (it == m_subscriptions.end() || it->second.id == 0)
            done(S::E_FAIL, 0);
        else
            done(0, it->second.rate);
        finished();
    });
}

// --- subscriptions -------------------------------------------------------------

void Subscriptions::makeSubscription(uint32_t groupKey, double rate, MadeDone done)
{
    ++m_creating;
    m_session.call(Id::CreateSubscriptionRequest,
                   [rate](Encoder &e) {
                       e.float64(rate);
                       encodeCounts(e);
                       e.boolean(true);
                       e.byte(0);
                   },
                   CreateSubscriptionTimeoutMs, [this, groupKey, done](int32_t error, const QByteArray &message) {
        m_creating = std::max(0, m_creating - 1);
        if (error)
            return done(error, {});
        Made made;
        try {
            Decoder d(message);
            decodeResponseStart(d);
            made.id = d.uint32();
            made.interval = d.float64();
            d.uint32(); // lifetime count
            made.keepAliveCount = d.uint32();
        } catch (const DecodeError &) {
            return done(S::RPC_S_SERVER_UNAVAILABLE, {});
        }
        // The group went while its subscription was being made: the
        // server does not keep it for nobody.
        if (!m_subscriptions.count(groupKey)) {
            release(made.id);
            return done(S::E_FAIL, {});
        }
        m_holder[made.id] = groupKey;
        m_released.erase(made.id);
        m_lastSequence.erase(made.id);
        watch(made);
        publish();
        done(0, made);
    });
}

void Subscriptions::create(uint32_t groupKey, RateDone done)
{
    makeSubscription(groupKey, m_subscriptions[groupKey].rate, [this, groupKey, done](int32_t error, const Made &made) {
        if (error)
            return done(error, 0);
        Subscription &sub = m_subscriptions[groupKey];
        sub.id = made.id;
        sub.rate = made.interval;
        done(0, made.interval);
    });
}

void Subscriptions::changeRate(uint32_t groupKey, double rate, RateDone done)
{
    auto it = m_subscriptions.find(groupKey);
    if (it == m_subscriptions.end() || it->second.id == 0)
        return done(S::E_FAIL, 0);
    const uint32_t id = it->second.id;
    const double before = it->second.rate;
    m_session.call(Id::ModifySubscriptionRequest,
                   [id, rate](Encoder &e) {
                       e.uint32(id);
                       e.float64(rate);
                       encodeCounts(e);
                       e.byte(0);
                   },
                   ServiceTimeoutMs, [this, groupKey, id, rate, before, done](int32_t error, const QByteArray &message) {
        double revised = before;
        uint32_t keepAliveCount = 0;
        if (!error)
            try {
                Decoder d(message);
                decodeResponseStart(d);
                revised = d.float64();
                d.uint32(); // lifetime count
                keepAliveCount = d.uint32();
            } catch (const DecodeError &) {
                error = S::RPC_S_SERVER_UNAVAILABLE;
            }
        // Servers that will not modify a subscription, or that answer with
        // the interval they granted at creation, honour the interval asked
        // when one is made: the group gets a new subscription.
        if (error || (revised == before && rate != before))
            return recreate(groupKey, rate, done);
        auto it = m_subscriptions.find(groupKey);
        if (it == m_subscriptions.end())
            return done(S::E_FAIL, 0);
        it->second.rate = revised;
        watch({id, revised, keepAliveCount});
        done(0, revised);
    });
}

// A new subscription at the rate, with the same monitored items and client
// handles sampled at what it grants; the old one goes once the new holds
// them all. The old one feeds the cache meanwhile. Should the new one fail,
// it goes and the old one stays as it was.
void Subscriptions::recreate(uint32_t groupKey, double rate, RateDone done)
{
    auto it = m_subscriptions.find(groupKey);
    if (it == m_subscriptions.end())
        return done(S::E_FAIL, 0);
    const uint32_t old = it->second.id;
    std::vector<uint32_t> handles;
    for (const auto &[handle, item] : it->second.items)
        handles.push_back(handle);
    makeSubscription(groupKey, rate, [this, groupKey, old, handles, done](int32_t error, const Made &made) {
        if (error)
            return done(error, 0);
        createItems(groupKey, made.id, handles, made.interval,
                    [this, groupKey, old, made, done](int32_t error, const Monitored &monitored) {
            auto it = m_subscriptions.find(groupKey);
            if (it == m_subscriptions.end() || error) {
                release(made.id);
                return done(error ? error : S::E_FAIL, 0);
            }
            it->second.id = made.id;
            it->second.rate = made.interval;
            for (auto &[handle, item] : it->second.items) {
                item.samplingInterval = made.interval;
                if (auto m = monitored.find(handle); m != monitored.end())
                    item.monitoredItemId = m->second;
            }
            release(old);
            done(0, made.interval);
        });
    });
}

void Subscriptions::release(uint32_t id)
{
    if (id == 0)
        return;
    m_holder.erase(id);
    m_watches.erase(id);
    m_gaps.erase(id);
    m_lastSequence.erase(id);
    if (m_released.insert(id).second)
        deleteSubscription(id);
}

void Subscriptions::deleteSubscription(uint32_t id, Done done)
{
    m_session.call(Id::DeleteSubscriptionsRequest,
                   [id](Encoder &e) { e.array(std::vector<uint32_t>{id}, [](Encoder &x, uint32_t v) { x.uint32(v); }); },
                   ServiceTimeoutMs, [done](int32_t error, const QByteArray &) {
        if (done)
            done(error);
    });
}

// --- items -----------------------------------------------------------------------

void Subscriptions::addItems(uint32_t groupKey, const std::vector<ItemSpec> &wanted, Done done)
{
    serial(groupKey, [this, groupKey, wanted, done](std::function<void()> finished) {
        const auto answer = [done, finished](int32_t error) {
            done(error);
            finished();
        };
        auto it = m_subscriptions.find(groupKey);
        if (it == m_subscriptions.end() || it->second.id == 0)
            return answer(S::E_FAIL);
        std::vector<uint32_t> handles;
        const std::vector<QString> uris = m_session.namespaces();
        for (const ItemSpec &want : wanted) {
            const QString uri = want.nodeId.ns < uris.size() ? uris[want.nodeId.ns] : QString();
            it->second.items[want.handle] = Item{want.nodeId, want.samplingInterval, 0, uri};
            handles.push_back(want.handle);
        }
        m_cache.add(handles);
        const uint32_t id = it->second.id;
        createItems(groupKey, id, handles, std::nullopt,
                    [this, groupKey, id, handles, answer](int32_t error, const Monitored &monitored) {
            auto it = m_subscriptions.find(groupKey);
            if (it == m_subscriptions.end())
                return answer(S::E_FAIL);
            if (!error) {
                for (const auto &[handle, monitoredId] : monitored)
                    if (auto item = it->second.items.find(handle); item != it->second.items.end())
                        item->second.monitoredItemId = monitoredId;
                return answer(0);
            }
            // A failure takes back every item of the call: none of them is
            // added, and those the server made go again.
            for (uint32_t h : handles)
                it->second.items.erase(h);
            m_cache.erase(handles);
            std::vector<uint32_t> made;
            for (const auto &[handle, monitoredId] : monitored)
                made.push_back(monitoredId);
            if (!made.empty() && m_session.ready())
                m_session.call(Id::DeleteMonitoredItemsRequest,
                               [id, made](Encoder &e) {
                                   e.uint32(id);
                                   e.array(made, [](Encoder &x, uint32_t v) { x.uint32(v); });
                               },
                               ServiceTimeoutMs, [](int32_t, const QByteArray &) {});
            answer(error);
        });
    });
}

// What one CreateMonitoredItems after the other has come to.
struct Subscriptions::ItemsRun {
    uint32_t groupKey = 0;
    uint32_t subscriptionId = 0;
    std::vector<uint32_t> handles;
    std::optional<double> sampling;
    size_t next = 0;
    size_t limit = DefaultItemsPerCall;
    int32_t firstError = 0;
    Monitored made;
    ItemsDone done;
    bool sending = false;  // a batch is being sent from itemsStep
    bool answered = false; // and its answer came before the send returned
};

// Split by the server's limit per call, one batch after the other; the
// first error is the answer. Each batch is sent once the one before is
// answered, from the loop below when that answer came at once (never from
// inside the answer: thousands of batches would nest as deep), and the
// rest fail together once the session cannot take them.
void Subscriptions::createItems(uint32_t groupKey, uint32_t subscriptionId, std::vector<uint32_t> handles,
                                std::optional<double> sampling, ItemsDone done)
{
    auto run = std::make_shared<ItemsRun>();
    run->groupKey = groupKey;
    run->subscriptionId = subscriptionId;
    run->handles = std::move(handles);
    run->sampling = sampling;
    if (const uint32_t serverLimit = m_session.maxMonitoredItemsPerCall())
        run->limit = serverLimit;
    run->done = std::move(done);
    itemsStep(run);
}

void Subscriptions::itemsStep(const std::shared_ptr<ItemsRun> &run)
{
    while (run->next < run->handles.size()) {
        const auto sub = m_subscriptions.find(run->groupKey);
        if (!m_session.ready() || sub == m_subscriptions.end()) {
            if (!run->firstError)
                run->firstError = sub == m_subscriptions.end() ? S::E_FAIL : S::RPC_S_SERVER_UNAVAILABLE;
            break;
        }
        const size_t end = std::min(run->handles.size(), run->next + run->limit);
        std::vector<std::pair<uint32_t, Item>> items;
        for (size_t i = run->next; i < end; ++i)
            if (auto item = sub->second.items.find(run->handles[i]); item != sub->second.items.end())
                items.emplace_back(run->handles[i], item->second);
        run->next = end;
        if (items.empty())
            continue;
        const uint32_t id = run->subscriptionId;
        const std::optional<double> sampling = run->sampling;
        std::vector<uint32_t> batch;
        for (const auto &[handle, item] : items)
            batch.push_back(handle);
        run->sending = true;
        run->answered = false;
        m_session.call(Id::CreateMonitoredItemsRequest,
                       [id, items, sampling](Encoder &e) {
                           e.uint32(id);
                           e.int32(2); // both timestamps
                           e.int32(static_cast<int32_t>(items.size()));
                           for (const auto &[handle, item] : items) {
                               encode(e, ReadValueId{item.nodeId, Attr::Value});
                               e.int32(2); // reporting
                               e.uint32(handle);
                               e.float64(sampling.value_or(item.samplingInterval));
                               e.extensionObject({});
                               e.uint32(1);
                               e.boolean(true);
                           }
                       },
                       CreateItemsTimeoutMs, [this, run, batch](int32_t error, const QByteArray &message) {
            if (error && !run->firstError)
                run->firstError = error;
            if (!error)
                try {
                    Decoder d(message);
                    decodeResponseStart(d);
                    const int32_t n = d.arrayLength();
                    for (int32_t i = 0; i < n && i < static_cast<int32_t>(batch.size()); ++i) {
                        const StatusCode status = d.statusCode();
                        const uint32_t monitoredId = d.uint32();
                        d.float64();
                        d.uint32();
                        d.extensionObject();
                        if (status.isBad()) {
                            if (!run->firstError)
                                run->firstError = errorOf(status);
                            continue;
                        }
                        run->made[batch[static_cast<size_t>(i)]] = monitoredId;
                    }
                } catch (const DecodeError &) {
                    if (!run->firstError)
                        run->firstError = S::RPC_S_SERVER_UNAVAILABLE;
                }
            if (run->sending)
                run->answered = true;
            else
                itemsStep(run);
        });
        run->sending = false;
        if (!run->answered)
            return; // the answer goes on from here
    }
    if (auto done = std::exchange(run->done, nullptr))
        done(run->firstError, run->made);
}

void Subscriptions::removeItems(uint32_t groupKey, const std::vector<uint32_t> &handles, Done done)
{
    serial(groupKey, [this, groupKey, handles, done](std::function<void()> finished) {
        auto it = m_subscriptions.find(groupKey);
        if (it == m_subscriptions.end()) {
            done(S::E_FAIL);
            return finished();
        }
        std::vector<uint32_t> ids;
        for (uint32_t h : handles)
            if (auto i = it->second.items.find(h); i != it->second.items.end()) {
                ids.push_back(i->second.monitoredItemId);
                it->second.items.erase(i);
            }
        m_cache.erase(handles);
        const uint32_t id = it->second.id;
        m_session.call(Id::DeleteMonitoredItemsRequest,
                       [id, ids](Encoder &e) {
                           e.uint32(id);
                           e.array(ids, [](Encoder &x, uint32_t v) { x.uint32(v); });
                       },
                       ServiceTimeoutMs, [done, finished](int32_t error, const QByteArray &) {
            done(error);
            finished();
        });
    });
}

// --- a new session ---------------------------------------------------------------

void Subscriptions::stopPublishing()
{
    m_outstandingPublish = 0;
    m_watches.clear();
    m_watchdog.stop();
    m_gaps.clear();
}

void Subscriptions::clear()
{
    m_cleared = true;
    stopPublishing();
    m_cache.clear();
    m_subscriptions.clear();
    m_holder.clear();
    m_released.clear();
    m_creating = 0;
    m_queues.clear();
    m_acks.clear();
    m_lastSequence.clear();
}

// After a new session: the namespace indexes may have changed, and every
// group's subscription and items are made again.
void Subscriptions::restore()
{
    stopPublishing();
    m_holder.clear();
    m_released.clear();
    m_creating = 0;
    m_acks.clear();
    m_lastSequence.clear();
    const std::vector<QString> uris = m_session.namespaces();
    for (auto &[groupKey, sub] : m_subscriptions) {
        sub.id = 0;
        for (auto &item : sub.items) {
            const auto pos = std::find(uris.begin(), uris.end(), item.second.namespaceUri);
            if (!item.second.namespaceUri.isEmpty() && pos != uris.end())
                item.second.nodeId.ns = static_cast<uint16_t>(pos - uris.begin());
        }
        remake(groupKey);
    }
}

void Subscriptions::remake(uint32_t groupKey)
{
    serial(groupKey, [this, groupKey](std::function<void()> finished) {
        auto it = m_subscriptions.find(groupKey);
        if (it == m_subscriptions.end())
            return finished();
        std::vector<uint32_t> handles;
        for (const auto &item : it->second.items)
            handles.push_back(item.first);
        makeSubscription(groupKey, it->second.rate, [this, groupKey, handles, finished](int32_t error, const Made &made) {
            auto it = m_subscriptions.find(groupKey);
            if (error || it == m_subscriptions.end())
                return finished();
            it->second.id = made.id;
            it->second.rate = made.interval;
            createItems(groupKey, made.id, handles, std::nullopt,
                        [this, groupKey, finished](int32_t, const Monitored &monitored) {
                if (auto it = m_subscriptions.find(groupKey); it != m_subscriptions.end())
                    for (const auto &[handle, monitoredId] : monitored)
                        if (auto item = it->second.items.find(handle); item != it->second.items.end())
                            item->second.monitoredItemId = monitoredId;
                finished();
            });
        });
    });
}

} // namespace opc::ua
