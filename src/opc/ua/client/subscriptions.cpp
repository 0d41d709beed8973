// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/ua/client/subscriptions.h"

#include "opc/errors.h"

#include <QTimer>
#include <algorithm>

namespace opc::ua {

namespace S = opc::Status;

namespace {
constexpr int ServiceTimeoutMs = 5000;
constexpr int CreateItemsTimeoutMs = 10000;
constexpr int PublishTimeoutMs = 60000;
constexpr int OutstandingPublish = 2;
// Monitored items per CreateMonitoredItems when the server names no limit.
constexpr size_t DefaultItemsPerCall = 1000;
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

// --- subscriptions -------------------------------------------------------------

Subscriptions::Subscriptions(Session &session, QObject *parent) : QObject(parent), m_session(session) {}

void Subscriptions::add(uint32_t groupKey, double rate, RateDone done)
{
    m_subscriptions[groupKey].rate = rate;
    create(groupKey, [this, groupKey, done](int32_t error, double revised) {
        if (error)
            m_subscriptions.erase(groupKey);
        done(error, revised);
    });
}

void Subscriptions::create(uint32_t groupKey, RateDone done)
{
    const double rate = m_subscriptions[groupKey].rate;
    m_session.call(Id::CreateSubscriptionRequest,
                   [rate](Encoder &e) {
                       e.float64(rate);
                       e.uint32(1200); // lifetime count
                       e.uint32(10);   // keep-alive count
                       e.uint32(0);
                       e.boolean(true);
                       e.byte(0);
                   },
                   ServiceTimeoutMs, [this, groupKey, done](int32_t error, const QByteArray &message) {
        if (error)
            return done(error, 0);
        double revised = 0;
        try {
            Decoder d(message);
            decodeResponseStart(d);
            const uint32_t id = d.uint32();
            revised = d.float64();
            auto it = m_subscriptions.find(groupKey);
            if (it == m_subscriptions.end())
                return done(S::E_FAIL, 0);
            it->second.id = id;
            it->second.rate = revised;
            m_subscriptionGroup[id] = groupKey;
            m_lastSequence.erase(id);
        } catch (const DecodeError &) {
            return done(S::RPC_S_SERVER_UNAVAILABLE, 0);
        }
        publish();
        done(0, revised);
    });
}

void Subscriptions::modify(uint32_t groupKey, double rate, RateDone done)
{
    auto it = m_subscriptions.find(groupKey);
    if (it == m_subscriptions.end())
        return done(S::E_FAIL, 0);
    const uint32_t id = it->second.id;
    const double before = it->second.rate;
    m_session.call(Id::ModifySubscriptionRequest,
                   [id, rate](Encoder &e) {
                       e.uint32(id);
                       e.float64(rate);
                       e.uint32(1200);
                       e.uint32(10);
                       e.uint32(0);
                       e.byte(0);
                   },
                   ServiceTimeoutMs, [this, groupKey, rate, before, done](int32_t error, const QByteArray &message) {
        double revised = before;
        if (!error)
            try {
                Decoder d(message);
                decodeResponseStart(d);
                revised = d.float64();
            } catch (const DecodeError &) {
                error = S::RPC_S_SERVER_UNAVAILABLE;
            }
        // Servers that will not modify a subscription, or that answer with
        // the interval they granted at creation, honour the interval asked
        // when one is made: the group gets a new subscription.
        if (error || (revised == before && rate != before))
            return recreate(groupKey, rate, done);
        if (auto it = m_subscriptions.find(groupKey); it != m_subscriptions.end())
            it->second.rate = revised;
        done(0, revised);
    });
}

// A new subscription at the rate, with the same monitored items and client
// handles sampled at what it grants; the old one goes once the new holds
// them all. The cache keeps its values meanwhile. Should the new one fail,
// the old one stays as it was.
void Subscriptions::recreate(uint32_t groupKey, double rate, RateDone done)
{
    auto it = m_subscriptions.find(groupKey);
    if (it == m_subscriptions.end())
        return done(S::E_FAIL, 0);
    const Subscription old = it->second;
    it->second.rate = rate;
    create(groupKey, [this, groupKey, old, done](int32_t error, double revised) {
        auto it = m_subscriptions.find(groupKey);
        if (it == m_subscriptions.end())
            return done(S::E_FAIL, 0);
        if (error) {
            it->second = old;
            return done(error, 0);
        }
        const uint32_t fresh = it->second.id;
        std::vector<uint32_t> handles;
        for (auto &[handle, item] : it->second.items) {
            item.samplingInterval = revised;
            item.monitoredItemId = 0;
            handles.push_back(handle);
        }
        createItems(groupKey, handles, [this, groupKey, old, fresh, revised, done](int32_t error) {
            const uint32_t gone = error ? fresh : old.id;
            if (error)
                if (auto it = m_subscriptions.find(groupKey); it != m_subscriptions.end())
                    it->second = old;
            m_subscriptionGroup.erase(gone);
            m_lastSequence.erase(gone);
            deleteSubscription(gone);
            done(error, error ? 0 : revised);
        });
    });
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

void Subscriptions::remove(uint32_t groupKey, Done done)
{
    auto it = m_subscriptions.find(groupKey);
    if (it == m_subscriptions.end())
        return done(0);
    const uint32_t id = it->second.id;
    std::vector<uint32_t> handles;
    for (const auto &[handle, item] : it->second.items)
        handles.push_back(handle);
    m_cache.erase(handles);
    m_subscriptions.erase(it);
    m_subscriptionGroup.erase(id);
    deleteSubscription(id, std::move(done));
}

void Subscriptions::addItems(uint32_t groupKey, const std::vector<ItemSpec> &wanted, Done done)
{
    auto it = m_subscriptions.find(groupKey);
    if (it == m_subscriptions.end())
        return done(S::E_FAIL);
    std::vector<uint32_t> handles;
    const std::vector<QString> uris = m_session.namespaces();
    for (const ItemSpec &want : wanted) {
        const QString uri = want.nodeId.ns < uris.size() ? uris[want.nodeId.ns] : QString();
        it->second.items[want.handle] = Item{want.nodeId, want.samplingInterval, 0, uri};
        handles.push_back(want.handle);
    }
    m_cache.add(handles);
    createItems(groupKey, handles, [this, groupKey, handles, done](int32_t error) {
        // A failure takes back every item of the call: none of them is added.
        if (error) {
            if (auto it = m_subscriptions.find(groupKey); it != m_subscriptions.end())
                for (uint32_t h : handles)
                    it->second.items.erase(h);
            m_cache.erase(handles);
        }
        done(error);
    });
}

// Split by the server's limit per call, one batch after the other; the
// first error is the answer.
void Subscriptions::createItems(uint32_t groupKey, std::vector<uint32_t> handles, Done done)
{
    const uint32_t serverLimit = m_session.maxMonitoredItemsPerCall();
    const size_t limit = serverLimit ? serverLimit : DefaultItemsPerCall;
    if (handles.size() <= limit)
        return createItemsBatch(groupKey, std::move(handles), std::move(done));
    std::vector<uint32_t> first(handles.begin(), handles.begin() + static_cast<std::ptrdiff_t>(limit));
    std::vector<uint32_t> rest(handles.begin() + static_cast<std::ptrdiff_t>(limit), handles.end());
    createItemsBatch(groupKey, std::move(first), [this, groupKey, rest, done](int32_t error) {
        createItems(groupKey, rest, [error, done](int32_t later) { done(error ? error : later); });
    });
}

void Subscriptions::createItemsBatch(uint32_t groupKey, std::vector<uint32_t> handles, Done done)
{
    auto it = m_subscriptions.find(groupKey);
    if (it == m_subscriptions.end())
        return done(S::E_FAIL);
    Subscription &sub = it->second;
    std::vector<std::pair<uint32_t, Item>> items;
    for (uint32_t h : handles)
        if (auto i = sub.items.find(h); i != sub.items.end())
            items.emplace_back(h, i->second);
    const uint32_t id = sub.id;
    m_session.call(Id::CreateMonitoredItemsRequest,
                   [id, items](Encoder &e) {
                       e.uint32(id);
                       e.int32(2); // both timestamps
                       e.int32(static_cast<int32_t>(items.size()));
                       for (const auto &[handle, item] : items) {
                           encode(e, ReadValueId{item.nodeId, Attr::Value});
                           e.int32(2); // reporting
                           e.uint32(handle);
                           e.float64(item.samplingInterval);
                           e.extensionObject({});
                           e.uint32(1);
                           e.boolean(true);
                       }
                   },
                   CreateItemsTimeoutMs, [this, groupKey, items, done](int32_t error, const QByteArray &message) {
        if (error)
            return done(error);
        try {
            Decoder d(message);
            decodeResponseStart(d);
            const int32_t n = d.arrayLength();
            int32_t firstError = 0;
            auto sub = m_subscriptions.find(groupKey);
            for (int32_t i = 0; i < n && i < static_cast<int32_t>(items.size()); ++i) {
                const StatusCode status = d.statusCode();
                const uint32_t monitoredId = d.uint32();
                d.float64();
                d.uint32();
                d.extensionObject();
                if (status.isBad()) {
                    if (!firstError)
                        firstError = errorOf(status);
                    continue;
                }
                if (sub != m_subscriptions.end())
                    if (auto item = sub->second.items.find(items[static_cast<size_t>(i)].first);
                        item != sub->second.items.end())
                        item->second.monitoredItemId = monitoredId;
            }
            done(firstError);
        } catch (const DecodeError &) {
            done(S::RPC_S_SERVER_UNAVAILABLE);
        }
    });
}

void Subscriptions::removeItems(uint32_t groupKey, const std::vector<uint32_t> &handles, Done done)
{
    auto it = m_subscriptions.find(groupKey);
    if (it == m_subscriptions.end())
        return done(S::E_FAIL);
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
                   ServiceTimeoutMs, [done](int32_t error, const QByteArray &) { done(error); });
}

void Subscriptions::clear()
{
    m_cache.clear();
    m_subscriptions.clear();
    m_subscriptionGroup.clear();
}

// After a new session: the namespace indexes may have changed, and every
// group's subscription and items are made again.
void Subscriptions::restore()
{
    m_subscriptionGroup.clear();
    m_acks.clear();
    const std::vector<QString> uris = m_session.namespaces();
    for (auto &entry : m_subscriptions)
        for (auto &item : entry.second.items) {
            const auto pos = std::find(uris.begin(), uris.end(), item.second.namespaceUri);
            if (!item.second.namespaceUri.isEmpty() && pos != uris.end())
                item.second.nodeId.ns = static_cast<uint16_t>(pos - uris.begin());
        }
    for (const auto &entry : m_subscriptions) {
        const uint32_t groupKey = entry.first;
        std::vector<uint32_t> handles;
        for (const auto &item : entry.second.items)
            handles.push_back(item.first);
        create(groupKey, [this, groupKey, handles](int32_t error, double) {
            if (error == 0)
                createItems(groupKey, handles, [](int32_t) {});
        });
    }
}

// --- the publish loop ------------------------------------------------------------

void Subscriptions::publish()
{
    // A closed user-name session publishes no more; one being made again
    // publishes once its subscriptions are back.
    while (m_outstandingPublish < OutstandingPublish && !m_subscriptions.empty() && m_session.ready()) {
        ++m_outstandingPublish;
        const auto acks = std::exchange(m_acks, {});
        m_session.call(Id::PublishRequest,
                       [acks](Encoder &e) {
                           e.int32(static_cast<int32_t>(acks.size()));
                           for (const auto &[sub, seq] : acks) {
                               e.uint32(sub);
                               e.uint32(seq);
                           }
                       },
                       PublishTimeoutMs, [this](int32_t error, const QByteArray &message) { onPublish(error, message); });
    }
}

void Subscriptions::onPublish(int32_t error, const QByteArray &message)
{
    m_outstandingPublish = std::max(0, m_outstandingPublish - 1);
    if (error) {
        // A lost channel restarts the loop after reconnecting; anything
        // else (a timeout, no subscription yet) just asks again.
        if (m_session.ready() && !m_subscriptions.empty())
            QTimer::singleShot(100, this, &Subscriptions::publish);
        return;
    }
    try {
        Decoder d(message);
        decodeResponseStart(d);
        const uint32_t subscriptionId = d.uint32();
        d.array([](Decoder &x) { return x.uint32(); });
        d.boolean();
        const NotificationMessage m = decodeNotificationMessage(d);
        if (!m.changes.empty()) {
            m_acks.emplace_back(subscriptionId, m.sequenceNumber);
            const auto last = m_lastSequence.find(subscriptionId);
            if (last != m_lastSequence.end() && m.sequenceNumber > last->second + 1) {
                // A gap: ask for what was missed, so the server can let it go.
                for (uint32_t seq = last->second + 1; seq < m.sequenceNumber && seq < last->second + 16; ++seq)
                    m_session.call(Id::RepublishRequest,
                                   [subscriptionId, seq](Encoder &e) {
                                       e.uint32(subscriptionId);
                                       e.uint32(seq);
                                   },
                                   ServiceTimeoutMs, [this, subscriptionId, seq](int32_t err, const QByteArray &) {
                        if (err == 0)
                            m_acks.emplace_back(subscriptionId, seq);
                    });
            }
            m_lastSequence[subscriptionId] = m.sequenceNumber;
            m_notifications += m.changes.size();
            m_cache.update(m.changes);
        }
    } catch (const DecodeError &) {
    }
    publish();
}

} // namespace opc::ua
