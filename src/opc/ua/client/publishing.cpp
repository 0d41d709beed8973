// SPDX-License-Identifier: GPL-3.0-or-later
// The publish loop of the subscriptions: notifications into the cache, the
// server watched through its keep-alive, and messages it missed asked again.
#include "opc/ua/client/subscriptions.h"

#include "opc/errors.h"

#include <QTimer>
#include <algorithm>
#include <cmath>

namespace opc::ua {

namespace S = opc::Status;

namespace {
constexpr int OutstandingPublish = 2;
// A Publish waits at the server until it has something to say; it is
// given far longer than the keep-alive, which decides first.
constexpr int MinPublishTimeoutMs = 60000;
constexpr qint64 KeepAliveMarginMs = 3000;
constexpr int WatchEveryMs = 250;
// Messages of one subscription that are asked again at most: older ones
// are given up when more go missing.
constexpr size_t MaxMissing = 16;

} // namespace

qint64 keepAliveBoundMs(double publishingIntervalMs, uint32_t maxKeepAliveCount)
{
    // Unsigned figures: what is no number or out of all reason is read as
    // what was asked, and the bound stays within a day.
    const double interval = std::isfinite(publishingIntervalMs) && publishingIntervalMs > 0
                                ? std::min(publishingIntervalMs, 3600000.0)
                                : 1000.0;
    const double count = maxKeepAliveCount == 0 ? 10.0 : std::min<double>(maxKeepAliveCount, 100000.0);
    return static_cast<qint64>(std::min(interval * count, 86400000.0)) + KeepAliveMarginMs;
}

int Subscriptions::republishing() const
{
    return static_cast<int>(std::count_if(m_gaps.begin(), m_gaps.end(), [](const auto &g) { return g.second.asking; }));
}

void Subscriptions::publish()
{
    // A closed session publishes no more; one being made again publishes
    // once its subscriptions are back. A Publish that fails while this loop
    // sends ends the loop: the next one comes from the event loop.
    m_publishRefused = false;
    while (m_outstandingPublish < OutstandingPublish && !m_holder.empty() && m_session.ready() && !m_publishRefused) {
        ++m_outstandingPublish;
        const auto acks = std::exchange(m_acks, {});
        m_session.callWatched(Id::PublishRequest,
                              [acks](Encoder &e) {
                                  e.int32(static_cast<int32_t>(acks.size()));
                                  for (const auto &[sub, seq] : acks) {
                                      e.uint32(sub);
                                      e.uint32(seq);
                                  }
                              },
                              publishTimeoutMs(), [this](int32_t error, const QByteArray &message) { onPublish(error, message); });
    }
}

int Subscriptions::publishTimeoutMs() const
{
    qint64 longest = 0;
    for (const auto &[id, w] : m_watches)
        longest = std::max(longest, w.boundMs);
    return static_cast<int>(std::clamp<qint64>(2 * longest, MinPublishTimeoutMs, 1 << 30));
}

void Subscriptions::onPublish(int32_t error, const QByteArray &message)
{
    m_outstandingPublish = std::max(0, m_outstandingPublish - 1);
    // The session closing with the disconnect deletes what it held.
    if (m_cleared)
        return;
    if (error) {
        // A lost channel restarts the loop after reconnecting; anything
        // else (no subscription yet, too many requests) asks again later.
        m_publishRefused = true;
        if (m_session.ready() && !m_holder.empty())
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
        const auto holder = m_holder.find(subscriptionId);
        if (holder == m_holder.end()) {
            // Not ours (any more): its values are not shown. A server that
            // still keeps it is asked once to let it go, unless it may be
            // one being made for us whose answer has not come yet.
            if (subscriptionId != 0 && m_creating == 0 && !m_released.count(subscriptionId))
                release(subscriptionId);
            return publish();
        }
        if (auto w = m_watches.find(subscriptionId); w != m_watches.end())
            w->second.heardAt = monotonicMs();
        if (m.notifications > 0) {
            m_acks.emplace_back(subscriptionId, m.sequenceNumber);
            const auto last = m_lastSequence.find(subscriptionId);
            if (last != m_lastSequence.end() && m.sequenceNumber > last->second + 1)
                missed(subscriptionId, last->second + 1, m.sequenceNumber);
            m_lastSequence[subscriptionId] = m.sequenceNumber;
            m_notifications += m.changes.size();
            m_cache.update(m.changes);
            for (const StatusCode status : m.statusChanges)
                if (status.isBad() || (status.code & 0xFFFF0000u) == Status::GoodSubscriptionTransferred) {
                    ended(subscriptionId);
                    break;
                }
        }
    } catch (const DecodeError &) {
    }
    publish();
}

void Subscriptions::ended(uint32_t subscriptionId)
{
    const auto holder = m_holder.find(subscriptionId);
    if (holder == m_holder.end())
        return;
    const uint32_t groupKey = holder->second;
    m_holder.erase(holder);
    m_watches.erase(subscriptionId);
    m_gaps.erase(subscriptionId);
    m_lastSequence.erase(subscriptionId);
    auto it = m_subscriptions.find(groupKey);
    if (it == m_subscriptions.end() || it->second.id != subscriptionId)
        return; // one a rate change was replacing: that change decides
    it->second.id = 0;
    std::vector<uint32_t> handles;
    for (const auto &item : it->second.items)
        handles.push_back(item.first);
    m_cache.markCommFailure(handles);
    remake(groupKey);
}

// --- the keep-alive -------------------------------------------------------------

void Subscriptions::watch(const Made &made)
{
    m_watches[made.id] = Watch{monotonicMs(), keepAliveBoundMs(made.interval, made.keepAliveCount)};
    if (!m_watchdog.isActive())
        m_watchdog.start(WatchEveryMs);
}

// A server that goes silent (a cable pulled, a link down, a process hung)
// sends no reset: its keep-alive stops, and once one is overdue the
// connection counts as lost (OPC 10000-4 §6.7), as a reset does.
void Subscriptions::checkKeepAlive()
{
    if (m_watches.empty()) {
        m_watchdog.stop();
        return;
    }
    if (!m_session.ready())
        return;
    const qint64 now = monotonicMs();
    for (const auto &[id, w] : m_watches)
        if (now - w.heardAt > w.boundMs) {
            stopPublishing();
            m_session.dropChannel(S::RPC_S_SERVER_UNAVAILABLE);
            return;
        }
}

// --- what was missed ----------------------------------------------------------------

void Subscriptions::missed(uint32_t subscriptionId, uint32_t from, uint32_t to)
{
    Gap &gap = m_gaps[subscriptionId];
    if (to - from > MaxMissing)
        from = to - static_cast<uint32_t>(MaxMissing);
    for (uint32_t seq = from; seq < to; ++seq)
        gap.missing.push_back(seq);
    while (gap.missing.size() > MaxMissing)
        gap.missing.pop_front();
    republishNext(subscriptionId);
}

// One Republish at a time per subscription: a message the server no
// longer has, or does not answer for, is given up and the next is asked.
void Subscriptions::republishNext(uint32_t subscriptionId)
{
    auto it = m_gaps.find(subscriptionId);
    if (it == m_gaps.end() || it->second.asking)
        return;
    if (it->second.missing.empty() || !m_session.ready() || !m_holder.count(subscriptionId)) {
        m_gaps.erase(it);
        return;
    }
    const uint32_t seq = it->second.missing.front();
    it->second.missing.pop_front();
    it->second.asking = true;
    m_session.call(Id::RepublishRequest,
                   [subscriptionId, seq](Encoder &e) {
                       e.uint32(subscriptionId);
                       e.uint32(seq);
                   },
                   ServiceTimeoutMs, [this, subscriptionId, seq](int32_t error, const QByteArray &) {
        if (auto it = m_gaps.find(subscriptionId); it != m_gaps.end())
            it->second.asking = false;
        if (error == 0)
            m_acks.emplace_back(subscriptionId, seq);
        QTimer::singleShot(0, this, [this, subscriptionId] { republishNext(subscriptionId); });
    });
}

} // namespace opc::ua
