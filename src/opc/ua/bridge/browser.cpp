// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/ua/bridge/browser.h"

#include "opc/ua/wire/services.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <set>

namespace opc::ua {

using namespace OPCAutomation;
using opc::OpcError;
namespace S = opc::Status;

namespace {

// A large folder is asked in answers of this many references, continued
// with BrowseNext. Some servers send a folder whole whatever was asked
// (OPC 10000-4 §5.9.2.2 tells them not to): that is taken as it comes,
// within the bounds of the listing and of the message's decoding.
constexpr uint32_t ReferencesPerAnswer = 1000;

std::mutex limitsLock;
BrowseLimits limits;

// What one listing has taken so far, against its bounds.
class Budget {
public:
    Budget() : m_limits(browseLimits()) { m_clock.start(); }
    // An answer of this many bytes came, and the listing holds so many
    // references; throws the bound's error number once one is passed.
    void spend(qsizetype bytes, size_t references)
    {
        m_bytes += bytes;
        if (references > m_limits.references || m_bytes > m_limits.bytes)
            throw OpcError(S::E_OUTOFMEMORY);
        if (m_clock.elapsed() > m_limits.milliseconds)
            throw OpcError(S::UA_E_TIMEOUT);
    }
    size_t maxReferences() const { return m_limits.references; }

private:
    BrowseLimits m_limits;
    QElapsedTimer m_clock;
    qint64 m_bytes = 0;
};
// Answers that bring nothing but another continuation point: a few are a
// busy server's, an endless run a hostile one's.
constexpr int MaxEmptyAnswers = 16;

// A node's children as a listing found them: what a step down or a leaf's
// item id is resolved by without asking the server again.
struct Child {
    QString name;
    NodeId nodeId;
    int32_t nodeClass;
};
using Children = std::shared_ptr<const std::vector<Child>>;

// The listings the session has browsed, by the node listed, within the
// bounds of what is kept, the least recently used given up first. They
// hold for one session only: a new one may number namespaces otherwise.
class KeptListings {
public:
    // The listing of this node, if kept; marked as used.
    Children find(const QString &node)
    {
        const auto it = m_byNode.find(node);
        if (it == m_byNode.end())
            return nullptr;
        it->second.used = ++m_clock;
        return it->second.children;
    }

    void keep(const QString &node, const Children &children)
    {
        forget(node);
        const BrowseLimits bounds = browseLimits();
        qint64 bytes = static_cast<qint64>(node.size()) * 2 + PerListing;
        for (const Child &c : *children)
            bytes += bytesOf(c);
        // A listing larger than every bound is not kept: its steps ask again.
        if (children->size() > bounds.keptReferences || bytes > bounds.keptBytes)
            return;
        while (!m_byNode.empty() &&
               (m_references + children->size() > bounds.keptReferences || m_bytes + bytes > bounds.keptBytes)) {
            const auto oldest = std::min_element(m_byNode.begin(), m_byNode.end(),
                                                 [](const auto &a, const auto &b) { return a.second.used < b.second.used; });
            forget(oldest->first);
        }
        m_references += children->size();
        m_bytes += bytes;
        m_byNode[node] = {children, bytes, ++m_clock};
    }

    void forget(const QString &node)
    {
        const auto it = m_byNode.find(node);
        if (it == m_byNode.end())
            return;
        m_references -= it->second.children->size();
        m_bytes -= it->second.bytes;
        m_byNode.erase(it);
    }

    void clear()
    {
        m_byNode.clear();
        m_references = 0;
        m_bytes = 0;
    }

private:
    static constexpr qint64 PerListing = 128;
    static qint64 bytesOf(const Child &c)
    {
        return static_cast<qint64>(sizeof(Child)) + (c.name.size() + c.nodeId.string.size()) * 2 + c.nodeId.opaque.data.size();
    }
    struct Listing {
        Children children;
        qint64 bytes = 0;
        uint64_t used = 0;
    };
    std::map<QString, Listing> m_byNode;
    size_t m_references = 0;
    qint64 m_bytes = 0;
    uint64_t m_clock = 0;
};

bool isBranchClass(int32_t nodeClass) { return nodeClass == 1 || nodeClass == 2; }
bool isLeafClass(int32_t nodeClass) { return nodeClass == 2; }

class UaBrowser final : public OPCBrowser {
public:
    explicit UaBrowser(LinkPtr link) : m_link(std::move(link)) {}

    void ShowBranches() override
    {
        Budget budget;
        const Children children = listingHere(budget);
        std::vector<NodeId> variables;
        m_list.clear();
        for (const auto &c : *children)
            if (c.nodeClass == 2)
                variables.push_back(c.nodeId);
        const auto withChildren = hasChildren(variables);
        for (const auto &c : *children)
            if (c.nodeClass == 1 || (c.nodeClass == 2 && withChildren.count(c.nodeId.toString())))
                m_list.push_back({c.name, c.nodeId.toString()});
    }

    void ShowLeafs(bool flat) override
    {
        m_list.clear();
        Budget budget;
        if (!flat) {
            for (const auto &c : *listingHere(budget))
                if (c.nodeClass == 2)
                    m_list.push_back({c.name, c.nodeId.toString()});
            return;
        }
        // Every variable below, by item id, breadth first and bounded.
        std::vector<NodeId> frontier{current()};
        std::set<QString> seen;
        while (!frontier.empty()) {
            std::vector<NodeId> next;
            for (const NodeId &node : frontier)
                for (const auto &c : browse(node, budget)) {
                    const QString id = c.nodeId.toString();
                    if (!seen.insert(id).second)
                        continue;
                    if (c.nodeClass == 2)
                        m_list.push_back({id, id});
                    next.push_back(c.nodeId);
                    if (seen.size() > budget.maxReferences()) {
                        m_list.clear();
                        throw OpcError(S::E_OUTOFMEMORY);
                    }
                }
            frontier = std::move(next);
        }
    }

    int32_t Count() override
    {
        m_link->check();
        return static_cast<int32_t>(m_list.size());
    }

    QString Item(int32_t index) override
    {
        m_link->check();
        if (index < 1 || index > static_cast<int32_t>(m_list.size()))
            throw OpcError(S::E_INVALIDARG);
        return m_list[static_cast<size_t>(index) - 1].first;
    }

    void MoveToRoot() override
    {
        m_link->check();
        m_path.clear();
    }

    void MoveDown(const QString &branch) override
    {
        const Child *step = childHere(branch, isBranchClass);
        if (!step)
            throw OpcError(S::E_INVALIDARG);
        m_path.push_back({step->name, step->nodeId});
    }

    void MoveUp() override
    {
        m_link->check();
        if (m_path.empty())
            throw OpcError(S::E_FAIL);
        m_path.pop_back();
    }

    QString GetItemID(const QString &leaf) override
    {
        const Child *found = childHere(leaf, isLeafClass);
        if (!found)
            throw OpcError(S::E_INVALIDARG);
        return found->nodeId.toString();
    }

private:
    struct Step {
        QString name;
        NodeId nodeId;
    };

    NodeId current() const { return m_path.empty() ? NodeId::num(0, Id::ObjectsFolder) : m_path.back().nodeId; }

    // What is kept belongs to the session that browsed it.
    void checkKept()
    {
        m_link->check();
        const int session = m_link->client ? m_link->client->reconnects() : -1;
        if (session != m_keptFor) {
            m_kept.clear();
            m_keptFor = session;
        }
    }

    // The child of the present node by this name, from the kept listing or,
    // when that lacks it, from a fresh one.
    const Child *childHere(const QString &name, bool (*wanted)(int32_t))
    {
        checkKept();
        const auto findIn = [&](const Children &children) -> const Child * {
            if (!children)
                return nullptr;
            const auto it = std::find_if(children->begin(), children->end(),
                                         [&](const Child &c) { return wanted(c.nodeClass) && c.name == name; });
            return it == children->end() ? nullptr : &*it;
        };
        if (const Child *kept = findIn(m_kept.find(current().toString())))
            return kept;
        Budget budget;
        m_found = listingHere(budget);
        return findIn(m_found);
    }

    // The present node's children, asked afresh and kept. A node the path
    // reached through kept listings that the server no longer knows by that
    // id is found again by its names, once.
    Children listingHere(Budget &budget)
    {
        checkKept();
        try {
            return listAndKeep(current(), budget);
        } catch (const OpcError &e) {
            if (e.code() != S::E_INVALIDARG || m_path.empty())
                throw;
        }
        const std::vector<Step> path = std::exchange(m_path, {});
        for (const Step &step : path) {
            const NodeId parent = current();
            const Children children = listAndKeep(parent, budget);
            const auto it = std::find_if(children->begin(), children->end(),
                                         [&](const Child &c) { return isBranchClass(c.nodeClass) && c.name == step.name; });
            if (it == children->end())
                throw OpcError(S::E_INVALIDARG);
            m_path.push_back({it->name, it->nodeId});
        }
        return listAndKeep(current(), budget);
    }

    Children listAndKeep(const NodeId &node, Budget &budget)
    {
        const QString key = node.toString();
        try {
            auto children = std::make_shared<const std::vector<Child>>(browse(node, budget));
            m_kept.keep(key, children);
            return children;
        } catch (...) {
            m_kept.forget(key);
            throw;
        }
    }

    // Forward hierarchical references to objects and variables, following
    // continuation points to the end, within the listing's budget.
    std::vector<Child> browse(const NodeId &node, Budget &budget)
    {
        m_link->check();
        std::vector<Child> out;
        auto [error, message] = m_link->service(
            Id::BrowseRequest, [node](Encoder &e) { encodeBrowse(e, ReferencesPerAnswer, {BrowseDescription{node}}); });
        // The continuation point the server holds for us: a listing that
        // ends early, by a failure or the guard, gives it back.
        ByteString continuation;
        const auto release = qScopeGuard([this, &continuation] {
            if (!continuation.isNull && !continuation.data.isEmpty())
                releaseContinuationPoints({continuation});
        });
        for (int empty = 0; empty < MaxEmptyAnswers;) {
            if (error)
                throw OpcError(error);
            continuation = {};
            try {
                Decoder d(message);
                decodeResponseStart(d);
                const auto results = d.array([](Decoder &x) { return decodeBrowseResult(x); });
                if (results.empty())
                    throw OpcError(S::E_FAIL);
                if (results[0].status.isBad())
                    throw OpcError(results[0].status.code == Status::BadNodeIdUnknown ? S::E_INVALIDARG : S::E_FAIL);
                // The continuation point is ours to give back from here on,
                // whatever bound the answer passes.
                continuation = results[0].continuationPoint;
                budget.spend(message.size(), out.size() + results[0].references.size());
                empty = results[0].references.empty() ? empty + 1 : 0;
                for (const auto &ref : results[0].references)
                    if (ref.nodeId.serverIndex == 0 && ref.nodeId.namespaceUri.isNull())
                        out.push_back({ref.displayName.text.isEmpty() ? ref.browseName.name : ref.displayName.text,
                                       ref.nodeId.id, ref.nodeClass});
            } catch (const DecodeError &) {
                throw OpcError(S::RPC_S_SERVER_UNAVAILABLE);
            }
            if (continuation.isNull || continuation.data.isEmpty())
                return out;
            std::tie(error, message) = m_link->service(Id::BrowseNextRequest, [continuation](Encoder &e) {
                e.boolean(false);
                e.array(std::vector<ByteString>{continuation}, [](Encoder &x, const ByteString &b) { x.byteString(b); });
            });
        }
        throw OpcError(S::RPC_S_SERVER_UNAVAILABLE);
    }

    // Which of these variables have children of their own, asked in
    // batches the server accepts, all sent at once.
    //
    // A server short of continuation points refuses the nodes it cannot
    // hold one for; they are asked again once ours are given back, and if
    // it still holds none for us they count as branches (an empty branch
    // is less harm than a hidden one).
    std::set<QString> hasChildren(const std::vector<NodeId> &nodes)
    {
        const uint32_t serverLimit = m_link->client ? m_link->client->maxNodesPerBrowse() : 0;
        const size_t limit = serverLimit ? serverLimit : 1000;
        std::vector<std::vector<NodeId>> batches;
        std::vector<Link::PendingService> asked;
        for (size_t offset = 0; offset < nodes.size(); offset += limit) {
            batches.emplace_back(nodes.begin() + static_cast<std::ptrdiff_t>(offset),
                                 nodes.begin() + static_cast<std::ptrdiff_t>(std::min(nodes.size(), offset + limit)));
            asked.push_back(askChildren(batches.back()));
        }
        std::set<QString> out;
        for (size_t i = 0; i < batches.size(); ++i) {
            std::vector<NodeId> batch = std::move(batches[i]);
            std::vector<NodeId> refused = takeChildren(asked[i], batch, out);
            while (!refused.empty()) {
                if (refused.size() == batch.size()) {
                    for (const auto &n : refused)
                        out.insert(n.toString());
                    break;
                }
                batch = std::move(refused);
                auto again = askChildren(batch);
                refused = takeChildren(again, batch, out);
            }
        }
        return out;
    }

    // One browse of these nodes, one reference each (one says enough).
    Link::PendingService askChildren(const std::vector<NodeId> &nodes)
    {
        m_link->check();
        std::vector<BrowseDescription> asked;
        asked.reserve(nodes.size());
        for (const NodeId &n : nodes)
            asked.push_back({n, false, Id::HierarchicalReferences, true, 1 | 2, 0});
        return m_link->startService(Id::BrowseRequest, [asked](Encoder &e) { encodeBrowse(e, 1, asked); });
    }

    // Its answer: the nodes with children go to out, those the server
    // refused for want of continuation points come back.
    std::vector<NodeId> takeChildren(Link::PendingService &pending, const std::vector<NodeId> &nodes, std::set<QString> &out)
    {
        const auto [error, message] = pending.get();
        if (error)
            throw OpcError(error);
        std::vector<NodeId> refused;
        try {
            Decoder d(message);
            decodeResponseStart(d);
            const auto results = d.array([](Decoder &x) { return decodeBrowseResult(x); });
            std::vector<ByteString> release;
            for (size_t i = 0; i < results.size() && i < nodes.size(); ++i) {
                if (results[i].status.code == Status::BadNoContinuationPoints)
                    refused.push_back(nodes[i]);
                else if (!results[i].references.empty())
                    out.insert(nodes[i].toString());
                if (!results[i].continuationPoint.isNull && !results[i].continuationPoint.data.isEmpty())
                    release.push_back(results[i].continuationPoint);
            }
            // Continuation points we will not follow are given back.
            releaseContinuationPoints(release);
        } catch (const DecodeError &) {
            throw OpcError(S::RPC_S_SERVER_UNAVAILABLE);
        }
        return refused;
    }

    // Sent without waiting for the answer: nothing the operator waits for
    // depends on it, and a server that cannot take them back frees them at
    // its own limits or with the session.
    void releaseContinuationPoints(const std::vector<ByteString> &points) noexcept
    {
        if (points.empty())
            return;
        m_link->post(Id::BrowseNextRequest, [points](Encoder &e) {
            e.boolean(true);
            e.array(points, [](Encoder &x, const ByteString &b) { x.byteString(b); });
        });
    }

    LinkPtr m_link;
    std::vector<Step> m_path;
    KeptListings m_kept;
    Children m_found; // the last fresh listing a name was looked up in, kept or not
    int m_keptFor = -2;
    std::vector<std::pair<QString, QString>> m_list; // name, item id
};

} // namespace

BrowserPtr newUaBrowser(LinkPtr link) { return std::make_shared<UaBrowser>(std::move(link)); }

BrowseLimits browseLimits()
{
    const std::lock_guard lock(limitsLock);
    return limits;
}

void setBrowseLimits(const BrowseLimits &given)
{
    const std::lock_guard lock(limitsLock);
    limits = given;
}

} // namespace opc::ua
