// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/ua/bridge/link.h"

#include "opc/ua/wire/services.h"

#include <algorithm>
#include <cmath>

namespace opc::ua {

using opc::OpcError;
namespace S = opc::Status;

Link::~Link()
{
    close();
}

void Link::close()
{
    alive = false;
    if (worker && client) {
        Client *c = client;
        worker->call<int>(3000, 0, [c](std::function<void(int)> complete) {
            c->disconnectFrom([c, complete](int32_t) {
                c->deleteLater();
                complete(0);
            });
        });
    }
    client = nullptr;
    worker.reset();
}

void Link::check() const
{
    if (!alive)
        throw OpcError(S::E_FAIL);
}

int32_t Link::run(int timeoutMs, std::function<void(Client &, std::function<void(int32_t)>)> op)
{
    check();
    Client *c = client;
    return worker->call<int32_t>(timeoutMs + 1000, S::RPC_S_SERVER_UNAVAILABLE,
                                 [c, op](std::function<void(int32_t)> complete) { op(*c, complete); });
}

std::pair<int32_t, QByteArray> Link::service(uint32_t typeId, std::function<void(Encoder &)> body, int timeoutMs)
{
    return startService(typeId, std::move(body), timeoutMs).get();
}

Link::PendingService Link::startService(uint32_t typeId, std::function<void(Encoder &)> body, int timeoutMs)
{
    check();
    Client *c = client;
    using Result = std::pair<int32_t, QByteArray>;
    // Sent from this thread; the worker only hands back the answer.
    return worker->startHere<Result>(timeoutMs + 1000, Result{S::RPC_S_SERVER_UNAVAILABLE, {}},
                                     [c, typeId, &body, timeoutMs](std::function<void(Result)> complete) {
                                         c->callFromAnyThread(typeId, std::move(body), timeoutMs,
                                                              [complete](int32_t e, const QByteArray &m) { complete({e, m}); });
                                     });
}

void Link::post(uint32_t typeId, std::function<void(Encoder &)> body) noexcept
{
    if (!alive || !client)
        return;
    client->callFromAnyThread(typeId, std::move(body), CallTimeoutMs, [](int32_t, const QByteArray &) {});
}

std::vector<DataValue> Link::read(const std::vector<ReadValueId> &ids)
{
    const size_t serverLimit = client ? client->maxNodesPerRead() : 0;
    const size_t limit = serverLimit ? serverLimit : ids.size();
    if (ids.size() <= limit || limit == 0)
        return readBatch(ids);
    std::vector<DataValue> all;
    for (size_t offset = 0; offset < ids.size(); offset += limit) {
        const std::vector<ReadValueId> batch(ids.begin() + static_cast<std::ptrdiff_t>(offset),
                                             ids.begin() + static_cast<std::ptrdiff_t>(std::min(ids.size(), offset + limit)));
        auto part = readBatch(batch);
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

std::vector<DataValue> Link::readBatch(const std::vector<ReadValueId> &ids)
{
    auto pending = startService(Id::ReadRequest, readBody(ids));
    return readValues(pending, ids.size());
}

std::optional<Link::PendingService> Link::startRead(const std::vector<ReadValueId> &ids)
{
    const uint32_t limit = client ? client->maxNodesPerRead() : 0;
    if (limit != 0 && ids.size() > limit)
        return std::nullopt;
    return startService(Id::ReadRequest, readBody(ids));
}

std::function<void(Encoder &)> Link::readBody(const std::vector<ReadValueId> &ids)
{
    return [ids](Encoder &e) {
        e.float64(0);
        e.int32(2);
        e.array(ids, [](Encoder &x, const ReadValueId &id) { encode(x, id); });
    };
}

std::vector<DataValue> Link::readValues(PendingService &pending, size_t count)
{
    const auto [error, message] = pending.get();
    if (error)
        throw OpcError(error);
    try {
        Decoder d(message);
        decodeResponseStart(d);
        auto values = d.array([](Decoder &x) { return x.dataValue(); });
        if (values.size() != count)
            throw OpcError(S::E_FAIL);
        return values;
    } catch (const DecodeError &) {
        throw OpcError(S::RPC_S_SERVER_UNAVAILABLE);
    }
}

uint32_t Link::builtInTypeOf(const NodeId &dataType)
{
    if (client && client->reconnects() != typesLearnedAt) {
        builtInTypes.clear();
        typesLearnedAt = client->reconnects();
    }
    NodeId type = dataType;
    std::vector<QString> seen;
    for (int depth = 0; depth < 16; ++depth) {
        if (type.ns == 0 && type.kind == NodeId::Kind::Numeric) {
            if ((type.numeric >= 1 && type.numeric <= 25) || type.numeric == 29)
                return remember(seen, type.numeric);
            if (type.numeric == 0 || type.numeric == 22 || type.numeric == 24 || type.numeric == 26 ||
                type.numeric == 27 || type.numeric == 28)
                return remember(seen, 0); // BaseDataType, Structure and the abstract numbers
        }
        const QString key = type.toString();
        if (const auto known = builtInTypes.find(key); known != builtInTypes.end())
            return remember(seen, known->second);
        seen.push_back(key);
        // The supertype: the data type this one is a subtype of.
        const BrowseDescription up{type, true, Id::HasSubtype, false, 64 /* data types */, 0};
        const auto [error, message] =
            service(Id::BrowseRequest, [up](Encoder &e) { encodeBrowse(e, 1, {up}); });
        if (error)
            return 0; // not cached: a later item may learn it
        try {
            Decoder d(message);
            decodeResponseStart(d);
            const auto results = d.array([](Decoder &x) { return decodeBrowseResult(x); });
            if (results.empty() || results[0].references.empty() || results[0].references[0].nodeId.serverIndex != 0)
                return remember(seen, 0);
            type = results[0].references[0].nodeId.id;
        } catch (const DecodeError &) {
            return 0;
        }
    }
    return remember(seen, 0);
}

uint32_t Link::remember(const std::vector<QString> &types, uint32_t builtIn)
{
    for (const QString &t : types)
        builtInTypes[t] = builtIn;
    return builtIn;
}

NodeId Link::itemNodeId(const QString &itemId)
{
    QString text = itemId;
    if (text.startsWith(QLatin1String("nsu="))) {
        const qsizetype semi = text.indexOf(QLatin1Char(';'));
        if (semi < 0)
            throw OpcError(S::OPC_E_INVALIDITEMID);
        const QString uri = text.mid(4, semi - 4);
        const auto uris = client ? client->namespaces() : std::vector<QString>{};
        const auto it = std::find(uris.begin(), uris.end(), uri);
        if (it == uris.end())
            throw OpcError(S::OPC_E_UNKNOWNITEMID);
        text = QStringLiteral("ns=%1;").arg(it - uris.begin()) + text.mid(semi + 1);
    }
    const auto id = NodeId::parse(text);
    if (!id)
        throw OpcError(S::OPC_E_INVALIDITEMID);
    return *id;
}

int32_t grantedRateOf(double revised, int32_t requested)
{
    if (!std::isfinite(revised))
        return requested;
    return static_cast<int32_t>(std::clamp(std::round(revised), 0.0, 2147483647.0));
}

double rateAsked(int32_t requested)
{
    return requested < 0 ? static_cast<double>(static_cast<uint32_t>(requested)) : requested;
}

GroupState &GroupBound::check()
{
    m_link->check();
    if (m_g->removed)
        throw OpcError(S::E_FAIL);
    return *m_g;
}

void GroupBound::subscribe(GroupState &g)
{
    if (!g.onServer)
        askRate(g);
}

void GroupBound::askRate(GroupState &g)
{
    const uint32_t key = g.key;
    const double rate = rateAsked(g.requestedRate);
    const bool made = g.onServer;
    // Held by the worker's callback too: a call that outlives its wait
    // writes into it, not into a stack that is gone.
    auto revised = std::make_shared<double>(0);
    const int32_t error = m_link->run(CallTimeoutMs, [key, rate, made, revised](Client &c, std::function<void(int32_t)> done) {
        auto granted = [revised, done](int32_t e, double r) {
            *revised = r;
            done(e);
        };
        made ? c.modifySubscription(key, rate, granted) : c.addSubscription(key, rate, granted);
    });
    if (error)
        throw OpcError(error);
    g.onServer = true;
    g.grantedRate = grantedRateOf(*revised, g.requestedRate);
}

} // namespace opc::ua
