// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/ua/bridge/browser.h"

#include "opc/ua/wire/services.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <atomic>
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

class UaBrowser final : public OPCBrowser {
public:
    explicit UaBrowser(LinkPtr link) : m_link(std::move(link)) {}

    void ShowBranches() override
    {
        Budget budget;
        const auto children = browse(current(), budget);
        std::vector<NodeId> variables;
        m_list.clear();
        for (const auto &c : children)
            if (c.nodeClass == 2)
                variables.push_back(c.nodeId);
        const auto withChildren = hasChildren(variables);
        for (const auto &c : children)
            if (c.nodeClass == 1 || (c.nodeClass == 2 && withChildren.count(c.nodeId.toString())))
                m_list.push_back({c.name, c.nodeId.toString()});
    }

    void ShowLeafs(bool flat) override
    {
        m_list.clear();
        Budget budget;
        if (!flat) {
            for (const auto &c : browse(current(), budget))
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
        Budget budget;
        for (const auto &c : browse(current(), budget))
            if ((c.nodeClass == 1 || c.nodeClass == 2) && c.name == branch) {
                m_path.push_back(c.nodeId);
                return;
            }
        throw OpcError(S::E_INVALIDARG);
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
        Budget budget;
        for (const auto &c : browse(current(), budget))
            if (c.nodeClass == 2 && c.name == leaf)
                return c.nodeId.toString();
        throw OpcError(S::E_INVALIDARG);
    }

private:
    struct Child {
        QString name;
        NodeId nodeId;
        int32_t nodeClass;
    };

    NodeId current() const { return m_path.empty() ? NodeId::num(0, Id::ObjectsFolder) : m_path.back(); }

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
    // batches the server accepts.
    std::set<QString> hasChildren(const std::vector<NodeId> &nodes)
    {
        const uint32_t serverLimit = m_link->client ? m_link->client->maxNodesPerBrowse() : 0;
        const size_t limit = serverLimit ? serverLimit : 1000;
        std::set<QString> out;
        for (size_t offset = 0; offset < nodes.size(); offset += limit) {
            const std::vector<NodeId> batch(nodes.begin() + static_cast<std::ptrdiff_t>(offset),
                                            nodes.begin() + static_cast<std::ptrdiff_t>(std::min(nodes.size(), offset + limit)));
            out.merge(hasChildrenBatch(batch));
        }
        return out;
    }

    // A server short of continuation points refuses the nodes it cannot
    // hold one for; they are asked again once ours are given back, and if
    // it still holds none for us they count as branches (an empty branch
    // is less harm than a hidden one).
    std::set<QString> hasChildrenBatch(std::vector<NodeId> nodes)
    {
        std::set<QString> out;
        while (!nodes.empty()) {
            std::vector<NodeId> refused = hasChildrenOnce(nodes, out);
            if (refused.size() == nodes.size()) {
                for (const auto &n : refused)
                    out.insert(n.toString());
                break;
            }
            nodes = std::move(refused);
        }
        return out;
    }

    // One browse of these nodes; those with children go to out, those the
    // server refused for want of continuation points come back.
    std::vector<NodeId> hasChildrenOnce(const std::vector<NodeId> &nodes, std::set<QString> &out)
    {
        std::vector<NodeId> refused;
        std::vector<BrowseDescription> asked;
        asked.reserve(nodes.size());
        for (const NodeId &n : nodes)
            asked.push_back({n, false, Id::HierarchicalReferences, true, 1 | 2, 0});
        // One reference says enough.
        const auto [error, message] =
            m_link->service(Id::BrowseRequest, [asked](Encoder &e) { encodeBrowse(e, 1, asked); });
        if (error)
            throw OpcError(error);
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

    // Best effort: a server that cannot take them back frees them at its
    // own limits or with the session.
    void releaseContinuationPoints(const std::vector<ByteString> &points) noexcept
    {
        if (points.empty())
            return;
        try {
            m_link->service(Id::BrowseNextRequest, [points](Encoder &e) {
                e.boolean(true);
                e.array(points, [](Encoder &x, const ByteString &b) { x.byteString(b); });
            });
        } catch (const OpcError &) {
        }
    }

    LinkPtr m_link;
    std::vector<NodeId> m_path;
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
