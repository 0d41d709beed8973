// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/ua/bridge/objects.h"

#include "opc/ua/bridge/conversions.h"
#include "opc/ua/wire/services.h"

#include <algorithm>

namespace opc::ua {

using namespace OPCAutomation;
using opc::OpcError;
namespace S = opc::Status;

namespace {

class UaItem final : public OPCItem {
public:
    UaItem(LinkPtr link, std::shared_ptr<ItemState> state) : m_link(std::move(link)), m_s(std::move(state)) {}

    QString ItemID() override { return check().itemId; }
    int32_t ServerHandle() override { return static_cast<int32_t>(check().handle); }
    int32_t ClientHandle() override { return check().clientHandle; }
    int16_t CanonicalDataType() override { return check().canonical; }
    Value ItemValue() override { return check().value; }
    int32_t Quality() override { return check().quality; }
    QDateTime TimeStamp() override { return check().timestamp; }

    void Read(int16_t source) override
    {
        ItemState &s = check();
        if (source == OPCCache) {
            // The cache answers without a round trip.
            const CachedValue c = m_link->client->cached(s.handle);
            if (!c.received) {
                s.quality = qualityOf(StatusCode{Status::BadWaitingForInitialData});
                return;
            }
            apply(*m_link, s, c.value);
            if (c.commFailure)
                s.quality = 0x18;
            return;
        }
        if (source != OPCDevice)
            throw OpcError(S::E_INVALIDARG);
        const DataValue dv = m_link->read({ReadValueId{s.nodeId, Attr::Value}}).at(0);
        // A value the server will not give, or a node that went, is the
        // read's failure; any other status is the value's quality.
        if (!dv.value && dv.status)
            switch (dv.status->code & 0xFFFF0000u) {
            case Status::BadNotReadable:
            case Status::BadUserAccessDenied: throw OpcError(S::OPC_E_BADRIGHTS);
            case Status::BadNodeIdUnknown: throw OpcError(S::OPC_E_UNKNOWNITEMID);
            default: break;
            }
        apply(*m_link, s, dv);
    }

    void Write(const Value &value) override
    {
        ItemState &s = check();
        Variant v;
        if (auto typed = value.type() == opc::VT_BSTR ? m_link->typedWrite(s, value.string()) : std::nullopt)
            v = std::move(*typed);
        else
            v = plainWrite(s, value);
        send(s, v);
    }

private:
    // Numbers, texts, dates and their arrays, converted as the automation
    // interface converts them.
    static Variant plainWrite(const ItemState &s, const Value &value)
    {
        Value converted = value;
        if (value.type() == opc::VT_BSTR && s.canonical != opc::VT_BSTR && s.canonical != 12)
            converted = opc::textToValue(value.string(), static_cast<uint16_t>(s.canonical));
        const BuiltIn type = s.writeType == BuiltIn::Null ? BuiltIn::String : s.writeType;
        Variant v;
        if (s.isArray) {
            if (!converted.isArray())
                throw OpcError(S::DISP_E_TYPEMISMATCH);
            std::vector<Scalar> elements;
            for (const Value &e : converted.elements())
                elements.push_back(scalarFor(type, e));
            v = Variant::array(type, std::move(elements));
        } else {
            if (converted.isArray())
                throw OpcError(S::DISP_E_TYPEMISMATCH);
            v = Variant::scalar(type, scalarFor(type, converted));
        }
        return v;
    }

    void send(const ItemState &s, const Variant &v)
    {
        const auto [error, message] = m_link->service(Id::WriteRequest, [nodeId = s.nodeId, v](Encoder &e) {
            e.int32(1);
            e.nodeId(nodeId);
            e.uint32(Attr::Value);
            e.string({});
            DataValue dv;
            dv.value = v;
            e.dataValue(dv);
        });
        if (error)
            throw OpcError(error);
        try {
            Decoder d(message);
            decodeResponseStart(d);
            const auto results = d.array([](Decoder &x) { return x.statusCode(); });
            if (results.empty())
                throw OpcError(S::E_FAIL);
            if (results[0].isBad())
                throw OpcError(writeErrorOf(results[0]));
        } catch (const DecodeError &) {
            throw OpcError(S::RPC_S_SERVER_UNAVAILABLE);
        }
    }

    ItemState &check()
    {
        m_link->check();
        if (m_s->removed)
            throw OpcError(S::E_FAIL);
        return *m_s;
    }

    static void apply(Link &link, ItemState &s, const DataValue &dv)
    {
        const StatusCode status = dv.status.value_or(StatusCode{});
        if (dv.value)
            s.value = link.present(s, *dv.value);
        s.quality = qualityOf(status);
        const auto ts = dv.sourceTimestamp ? dv.sourceTimestamp : dv.serverTimestamp;
        if (ts)
            s.timestamp = QDateTime::fromMSecsSinceEpoch(ts->toMSecsSinceEpoch(), Qt::UTC);
    }

    LinkPtr m_link;
    std::shared_ptr<ItemState> m_s;
};

class UaItems final : public OPCItems, private GroupBound {
public:
    UaItems(LinkPtr link, std::shared_ptr<GroupState> group) : GroupBound(std::move(link), std::move(group)) {}

    ItemPtr AddItem(const QString &itemId, int32_t clientHandle) override
    {
        GroupState &g = check();
        const NodeId nodeId = m_link->itemNodeId(itemId);
        const std::vector<ReadValueId> asked{{nodeId, Attr::DataType}, {nodeId, Attr::ValueRank}};
        // What the item's values need known of it is read beside its
        // creation; an item the read finds unknown is taken back.
        auto reading = m_link->startRead(asked);
        const uint32_t handle = m_link->nextHandle++;
        const int32_t made = createItem(g, handle, nodeId);
        // From here on a failure takes the made item back: nothing of it
        // stays on the server or in the cache that the group does not hold.
        try {
            const auto attrs = reading ? Link::readValues(*reading, asked.size()) : m_link->read(asked);
            for (const DataValue &dv : attrs)
                if (dv.status && dv.status->isBad())
                    throw OpcError(S::OPC_E_UNKNOWNITEMID);
            if (made)
                throw OpcError(made);
            auto s = describe(itemId, nodeId, clientHandle, attrs);
            s->handle = handle;
            g.items.push_back(s);
            return std::make_shared<UaItem>(m_link, s);
        } catch (...) {
            if (made == 0)
                takeBack(g, handle);
            throw;
        }
    }

    int32_t Count() override { return static_cast<int32_t>(check().items.size()); }

    ItemPtr Item(int32_t index) override
    {
        GroupState &g = check();
        if (index < 1 || index > static_cast<int32_t>(g.items.size()))
            throw OpcError(S::E_INVALIDARG);
        return std::make_shared<UaItem>(m_link, g.items[static_cast<size_t>(index) - 1]);
    }

    void Remove(int32_t numItems, const HandleArray &serverHandles, HandleArray &errors) override
    {
        GroupState &g = check();
        if (numItems < 0 || static_cast<size_t>(numItems) > serverHandles.values.size())
            throw OpcError(S::E_INVALIDARG);
        errors = HandleArray{serverHandles.lowerBound, {}};
        std::vector<uint32_t> gone;
        for (int32_t i = 0; i < numItems; ++i) {
            const int32_t h = serverHandles.values[static_cast<size_t>(i)];
            const auto it = std::find_if(g.items.begin(), g.items.end(),
                                         [h](const auto &item) { return static_cast<int32_t>(item->handle) == h; });
            if (it == g.items.end()) {
                errors.values.push_back(S::OPC_E_INVALIDHANDLE);
                continue;
            }
            (*it)->removed = true;
            gone.push_back((*it)->handle);
            g.items.erase(it);
            errors.values.push_back(S::S_OK);
        }
        if (gone.empty())
            return;
        const uint32_t key = g.key;
        m_link->run(CallTimeoutMs, [key, gone](Client &c, std::function<void(int32_t)> done) {
            c.removeItems(key, gone, done);
        });
    }

private:
    // The item's monitored item, in the group's subscription (made first if
    // it is not yet): 0 or the error number.
    int32_t createItem(GroupState &g, uint32_t handle, const NodeId &nodeId)
    {
        try {
            subscribe(g);
        } catch (const OpcError &e) {
            return e.code();
        }
        const uint32_t key = g.key;
        const Client::ItemSpec want{handle, nodeId, static_cast<double>(g.grantedRate)};
        return m_link->run(CallTimeoutMs, [key, want](Client &c, std::function<void(int32_t)> done) {
            c.addItem(key, want, done);
        });
    }

    // Best effort, on the way out of a failure: a closed link took it already.
    void takeBack(GroupState &g, uint32_t handle) noexcept
    {
        const uint32_t key = g.key;
        try {
            m_link->run(CallTimeoutMs, [key, handle](Client &c, std::function<void(int32_t)> done) {
                c.removeItems(key, {handle}, done);
            });
        } catch (...) {
        }
    }

    // The item as its attributes tell it: the types its values and writes
    // take (the session's own types for structures and enumerations).
    std::shared_ptr<ItemState> describe(const QString &itemId, const NodeId &nodeId, int32_t clientHandle,
                                        const std::vector<DataValue> &attrs)
    {
        auto s = std::make_shared<ItemState>();
        s->itemId = itemId;
        s->nodeId = nodeId;
        s->clientHandle = clientHandle;
        uint32_t dataType = 0;
        if (const NodeId *t = attrs[0].value ? attrs[0].value->scalarAs<NodeId>() : nullptr) {
            s->dataType = *t;
            dataType = m_link->builtInTypeOf(*t);
        }
        int32_t valueRank = -1;
        if (const int32_t *rank = attrs[1].value ? attrs[1].value->scalarAs<int32_t>() : nullptr)
            valueRank = *rank;
        s->canonical = canonicalTypeOf(NodeId::num(0, dataType), valueRank);
        s->writeType = builtInOf(dataType);
        s->isArray = valueRank >= 0;
        s->valueRank = valueRank;
        // Structures and enumerations: the session's types tell what they
        // hold. A structure shows as one text.
        if ((dataType == 0 || dataType == 29) && !s->dataType.isNull()) {
            TypeResolver &types = m_link->types();
            s->type = types.typeOf(s->dataType);
            s->typesGeneration = m_link->typesGeneration;
            const TypeDef &type = types.table().at(s->type);
            const TypeKind kind = type.kind;
            if (kind == TypeKind::Structure || kind == TypeKind::OptionalFields || kind == TypeKind::Union ||
                (kind == TypeKind::BuiltIn && type.builtIn == BuiltIn::ExtensionObject))
                s->canonical = static_cast<int16_t>(valueRank >= 0 ? opc::VT_ARRAY | opc::VT_BSTR : opc::VT_BSTR);
        }
        s->quality = qualityOf(StatusCode{Status::BadWaitingForInitialData});
        return s;
    }
};

class UaGroup final : public OPCGroup, private GroupBound {
public:
    UaGroup(LinkPtr link, std::shared_ptr<GroupState> group) : GroupBound(std::move(link), std::move(group)) {}

    QString Name() override { return check().name; }
    // What the server granted: asking makes the subscription. A change
    // the window stopped waiting for may have ended since: the client's
    // word is the latest.
    int32_t UpdateRate() override
    {
        GroupState &g = check();
        subscribe(g);
        const uint32_t key = g.key;
        auto revised = std::make_shared<double>(0);
        const int32_t error = m_link->run(CallTimeoutMs, [key, revised](Client &c, std::function<void(int32_t)> done) {
            c.subscriptionRate(key, [revised, done](int32_t e, double r) {
                *revised = r;
                done(e);
            });
        });
        if (error == 0)
            g.grantedRate = grantedRateOf(*revised, g.requestedRate);
        return g.grantedRate;
    }
    // Before the subscription is made the rate is only kept, so the server
    // is asked it at creation, where every server honours it.
    void setUpdateRate(int32_t requested) override
    {
        GroupState &g = check();
        g.requestedRate = requested;
        if (g.onServer)
            askRate(g);
    }
    bool IsSubscribed() override { return check().subscribed; }
    void setIsSubscribed(bool on) override
    {
        GroupState &g = check();
        g.subscribed = on;
        if (on)
            subscribe(g);
    }
    bool IsActive() override { return check().active; }
    void setIsActive(bool on) override { check().active = on; }
    int32_t ClientHandle() override { return check().clientHandle; }
    void setClientHandle(int32_t handle) override { check().clientHandle = handle; }
    int32_t ServerHandle() override { return static_cast<int32_t>(check().key); }
    ItemsPtr OPCItems() override
    {
        check();
        return std::make_shared<UaItems>(m_link, m_g);
    }

};

class UaGroups final : public OPCGroups {
public:
    explicit UaGroups(LinkPtr link) : m_link(std::move(link)) {}

    GroupPtr Add(const QString &name) override
    {
        m_link->check();
        QString groupName = name;
        if (groupName.isEmpty())
            do
                groupName = QStringLiteral("Group%1").arg(++m_link->unnamed);
            while (find(groupName));
        else if (find(groupName))
            throw OpcError(S::OPC_E_DUPLICATENAME);
        // The subscription waits for the rate the group is about to be
        // given: made now, it would be at the default, and servers differ in
        // whether they let a subscription's interval change afterwards.
        auto g = std::make_shared<GroupState>();
        g->name = groupName;
        g->key = m_link->nextHandle++;
        g->clientHandle = static_cast<int32_t>(g->key);
        m_link->groups.push_back(g);
        return std::make_shared<UaGroup>(m_link, g);
    }

    GroupPtr GetOPCGroup(const QString &name) override
    {
        m_link->check();
        if (auto g = find(name))
            return std::make_shared<UaGroup>(m_link, g);
        throw OpcError(S::E_INVALIDARG);
    }

    int32_t Count() override
    {
        m_link->check();
        return static_cast<int32_t>(m_link->groups.size());
    }

    GroupPtr Item(int32_t index) override
    {
        m_link->check();
        if (index < 1 || index > static_cast<int32_t>(m_link->groups.size()))
            throw OpcError(S::E_INVALIDARG);
        return std::make_shared<UaGroup>(m_link, m_link->groups[static_cast<size_t>(index) - 1]);
    }

    void Remove(int32_t serverHandle) override
    {
        m_link->check();
        auto &groups = m_link->groups;
        const auto it = std::find_if(groups.begin(), groups.end(),
                                     [serverHandle](const auto &g) { return static_cast<int32_t>(g->key) == serverHandle; });
        if (it == groups.end())
            throw OpcError(S::E_INVALIDARG);
        auto g = *it;
        groups.erase(it);
        g->removed = true;
        for (auto &item : g->items)
            item->removed = true;
        // Even a group not made on the server yet: one being made for it
        // (the window stopped waiting) is deleted once it is.
        const uint32_t key = g->key;
        m_link->run(CallTimeoutMs, [key](Client &c, std::function<void(int32_t)> done) { c.removeSubscription(key, done); });
    }

    int32_t DefaultGroupUpdateRate() override
    {
        m_link->check();
        return DefaultRate;
    }
    bool DefaultGroupIsActive() override
    {
        m_link->check();
        return true;
    }

private:
    std::shared_ptr<GroupState> find(const QString &name) const
    {
        for (const auto &g : m_link->groups)
            if (g->name == name)
                return g;
        return nullptr;
    }

    LinkPtr m_link;
};

} // namespace

GroupsPtr newUaGroups(LinkPtr link) { return std::make_shared<UaGroups>(std::move(link)); }

} // namespace opc::ua
