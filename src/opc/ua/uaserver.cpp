#include "opc/ua/uaserver.h"

#include "opc/ua/client.h"
#include "opc/ua/services.h"

#include <QLocale>
#include <QScopeGuard>
#include <map>
#include <set>
#include <cmath>

namespace opc::ua {

using namespace OPCAutomation;
using opc::OpcError;
namespace S = opc::Status;

namespace {

constexpr int CallTimeoutMs = 5000;
constexpr int ConnectTimeoutMs = 10000;
constexpr int32_t DefaultRate = 1000;
constexpr size_t FlatListingLimit = 1000000;
// A large folder comes in answers of this many references, each far
// inside any message limit, continued with BrowseNext.
constexpr uint32_t ReferencesPerAnswer = 1000;

// --- conversions ---------------------------------------------------------

QString scalarText(const Scalar &s)
{
    if (const auto *v = std::get_if<QString>(&s))
        return *v;
    if (const auto *v = std::get_if<LocalizedText>(&s))
        return v->text;
    if (const auto *v = std::get_if<QualifiedName>(&s))
        return v->ns ? QStringLiteral("%1:%2").arg(v->ns).arg(v->name) : v->name;
    if (const auto *v = std::get_if<NodeId>(&s))
        return v->toString();
    if (const auto *v = std::get_if<Guid>(&s))
        return NodeId{0, NodeId::Kind::Guid, 0, {}, *v, {}}.toString().mid(2);
    return {};
}

opc::Value scalarValue(BuiltIn type, const Scalar &s)
{
    using opc::Value;
    switch (type) {
    case BuiltIn::Boolean: return Value::boolean(std::get<bool>(s));
    case BuiltIn::SByte: return Value::integer(opc::VT_I1, std::get<int8_t>(s));
    case BuiltIn::Byte: return Value::integer(opc::VT_UI1, std::get<uint8_t>(s));
    case BuiltIn::Int16: return Value::integer(opc::VT_I2, std::get<int16_t>(s));
    case BuiltIn::UInt16: return Value::integer(opc::VT_UI2, std::get<uint16_t>(s));
    case BuiltIn::Int32: return Value::integer(opc::VT_I4, std::get<int32_t>(s));
    case BuiltIn::UInt32: return Value::integer(opc::VT_UI4, std::get<uint32_t>(s));
    case BuiltIn::Int64: return Value::integer(opc::VT_I8, std::get<int64_t>(s));
    case BuiltIn::UInt64: return Value::unsignedInteger(std::get<uint64_t>(s));
    case BuiltIn::Float: return Value::real(opc::VT_R4, std::get<float>(s));
    case BuiltIn::Double: return Value::real(opc::VT_R8, std::get<double>(s));
    case BuiltIn::DateTime:
        return Value::date(QDateTime::fromMSecsSinceEpoch(std::get<DateTime>(s).toMSecsSinceEpoch(), Qt::UTC));
    case BuiltIn::StatusCode: return Value::integer(opc::VT_UI4, std::get<StatusCode>(s).code);
    case BuiltIn::ByteString: {
        std::vector<Value> bytes;
        for (char c : std::get<ByteString>(s).data)
            bytes.push_back(Value::integer(opc::VT_UI1, static_cast<uint8_t>(c)));
        return Value::array(opc::VT_UI1, std::move(bytes));
    }
    case BuiltIn::String:
    case BuiltIn::LocalizedText:
    case BuiltIn::QualifiedName:
    case BuiltIn::NodeId:
    case BuiltIn::Guid:
        return Value::text(scalarText(s));
    case BuiltIn::Variant:
        return valueOf(*std::get<std::shared_ptr<Variant>>(s));
    default:
        return {};
    }
}

// The numeric data types of namespace 0 and their variant types.
int16_t scalarTypeOf(uint32_t dataType)
{
    switch (dataType) {
    case 1: return opc::VT_BOOL;
    case 2: return opc::VT_I1;
    case 3: return opc::VT_UI1;
    case 4: return opc::VT_I2;
    case 5: return opc::VT_UI2;
    case 6: return opc::VT_I4;
    case 7: return opc::VT_UI4;
    case 8: return opc::VT_I8;
    case 9: return opc::VT_UI8;
    case 10: return opc::VT_R4;
    case 11: return opc::VT_R8;
    case 12: case 14: case 17: case 20: case 21: return opc::VT_BSTR;
    case 13: return opc::VT_DATE;
    case 15: return static_cast<int16_t>(opc::VT_ARRAY | opc::VT_UI1);
    case 19: return opc::VT_UI4;
    case 29: return opc::VT_I4; // enumerations
    default: return 12;          // VT_VARIANT: any type
    }
}

BuiltIn builtInOf(uint32_t dataType)
{
    if (dataType >= 1 && dataType <= 25)
        return static_cast<BuiltIn>(dataType);
    if (dataType == 29)
        return BuiltIn::Int32;
    return BuiltIn::Null;
}

Scalar scalarFor(BuiltIn type, const opc::Value &v)
{
    switch (type) {
    case BuiltIn::Boolean: return v.toBool();
    case BuiltIn::SByte: return static_cast<int8_t>(v.toInt64());
    case BuiltIn::Byte: return static_cast<uint8_t>(v.toInt64());
    case BuiltIn::Int16: return static_cast<int16_t>(v.toInt64());
    case BuiltIn::UInt16: return static_cast<uint16_t>(v.toInt64());
    case BuiltIn::Int32: return static_cast<int32_t>(v.toInt64());
    case BuiltIn::UInt32: return static_cast<uint32_t>(v.toInt64());
    case BuiltIn::Int64: return v.toInt64();
    case BuiltIn::UInt64: return v.toUInt64();
    case BuiltIn::Float: return static_cast<float>(v.toDouble());
    case BuiltIn::Double: return v.toDouble();
    case BuiltIn::String: return v.string();
    case BuiltIn::LocalizedText: return LocalizedText{QString(), v.string()};
    case BuiltIn::DateTime: return DateTime::fromMSecsSinceEpoch(v.toDateTime().toMSecsSinceEpoch());
    default: throw OpcError(S::DISP_E_TYPEMISMATCH);
    }
}

int32_t writeErrorOf(StatusCode status)
{
    switch (status.code & 0xFFFF0000u) {
    case Status::BadTypeMismatch: return S::DISP_E_TYPEMISMATCH;
    case Status::BadNotWritable:
    case Status::BadUserAccessDenied: return S::OPC_E_BADRIGHTS;
    case Status::BadOutOfRange: return S::OPC_E_RANGE;
    default: return S::E_FAIL;
    }
}

// --- the link to one server ---------------------------------------------

struct ItemState;
struct GroupState;

struct Link {
    std::unique_ptr<Worker> worker;
    Client *client = nullptr; // lives on the worker
    Target target;
    QString serverId;
    bool alive = false;
    uint32_t nextHandle = 1;
    std::map<QString, uint32_t> builtInTypes; // data type node id -> built-in type id, as resolved
    int typesLearnedAt = 0;                   // the reconnect count they belong to (indexes may change)
    std::vector<std::shared_ptr<GroupState>> groups;
    int unnamed = 0;

    ~Link() { close(); }

    void close()
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

    void check() const
    {
        if (!alive)
            throw OpcError(S::E_FAIL);
    }

    // Runs a client operation on the worker and waits for its end.
    int32_t run(int timeoutMs, std::function<void(Client &, std::function<void(int32_t)>)> op)
    {
        check();
        Client *c = client;
        return worker->call<int32_t>(timeoutMs + 1000, S::RPC_S_SERVER_UNAVAILABLE,
                                     [c, op](std::function<void(int32_t)> complete) { op(*c, complete); });
    }

    std::pair<int32_t, QByteArray> service(uint32_t typeId, std::function<void(Encoder &)> body, int timeoutMs = CallTimeoutMs)
    {
        check();
        Client *c = client;
        using Result = std::pair<int32_t, QByteArray>;
        return worker->call<Result>(timeoutMs + 1000, Result{S::RPC_S_SERVER_UNAVAILABLE, {}},
                                    [c, typeId, body, timeoutMs](std::function<void(Result)> complete) {
                                        c->call(typeId, body, timeoutMs, [complete](int32_t e, const QByteArray &m) {
                                            complete({e, m});
                                        });
                                    });
    }

    // Reads attributes, in as many requests as the server's limit asks;
    // each result's data value, or throws the call's error.
    std::vector<DataValue> read(const std::vector<ReadValueId> &ids)
    {
        const size_t limit = client && client->maxNodesPerRead() ? client->maxNodesPerRead() : ids.size();
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

    std::vector<DataValue> readBatch(const std::vector<ReadValueId> &ids)
    {
        const auto [error, message] = service(Id::ReadRequest, [&ids](Encoder &e) {
            e.float64(0);
            e.int32(2);
            e.array(ids, [](Encoder &x, const ReadValueId &id) { encode(x, id); });
        });
        if (error)
            throw OpcError(error);
        try {
            Decoder d(message);
            decodeResponseStart(d);
            auto values = d.array([](Decoder &x) { return x.dataValue(); });
            if (values.size() != ids.size())
                throw OpcError(S::E_FAIL);
            return values;
        } catch (const DecodeError &) {
            throw OpcError(S::RPC_S_SERVER_UNAVAILABLE);
        }
    }

    // The built-in type a data type stands on: a built-in type itself,
    // Enumeration (29) for every enumeration, or 0 for structures and
    // abstract types. Derived types (Duration, UtcTime, a server's own
    // enumerations...) are followed up their supertypes.
    uint32_t builtInTypeOf(const NodeId &dataType)
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
                service(Id::BrowseRequest, [&up](Encoder &e) { encodeBrowse(e, 1, {up}); });
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

    uint32_t remember(const std::vector<QString> &types, uint32_t builtIn)
    {
        for (const QString &t : types)
            builtInTypes[t] = builtIn;
        return builtIn;
    }

    // Item ids are node ids, "ns=<index>;..." or "nsu=<uri>;...".
    NodeId itemNodeId(const QString &itemId)
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
};
using LinkPtr = std::shared_ptr<Link>;

struct ItemState {
    QString itemId;
    NodeId nodeId;
    uint32_t handle = 0;
    int32_t clientHandle = 0;
    int16_t canonical = 0;
    BuiltIn writeType = BuiltIn::Null;
    bool isArray = false;
    bool removed = false;
    opc::Value value;
    int32_t quality = 0;
    QDateTime timestamp;
};

struct GroupState {
    QString name;
    uint32_t key = 0;
    int32_t rate = DefaultRate;
    bool active = true;
    bool subscribed = false;
    int32_t clientHandle = 0;
    bool removed = false;
    std::vector<std::shared_ptr<ItemState>> items;
};

// The rate a server granted, as the automation interface holds it.
int32_t grantedRate(double revised) { return static_cast<int32_t>(std::clamp(std::round(revised), 0.0, 2147483647.0)); }

// What a group and its item collection share: the link and the group's
// state, both checked before every use.
class GroupBound {
protected:
    GroupBound(LinkPtr link, std::shared_ptr<GroupState> group) : m_link(std::move(link)), m_g(std::move(group)) {}
    GroupState &check()
    {
        m_link->check();
        if (m_g->removed)
            throw OpcError(S::E_FAIL);
        return *m_g;
    }
    LinkPtr m_link;
    std::shared_ptr<GroupState> m_g;
};

// --- items ---------------------------------------------------------------

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
            apply(s, c.value);
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
        apply(s, dv);
    }

    void Write(const Value &value) override
    {
        ItemState &s = check();
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
        const auto [error, message] = m_link->service(Id::WriteRequest, [&](Encoder &e) {
            e.int32(1);
            e.nodeId(s.nodeId);
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

private:
    ItemState &check()
    {
        m_link->check();
        if (m_s->removed)
            throw OpcError(S::E_FAIL);
        return *m_s;
    }

    static void apply(ItemState &s, const DataValue &dv)
    {
        const StatusCode status = dv.status.value_or(StatusCode{});
        if (dv.value)
            s.value = valueOf(*dv.value);
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
        const auto attrs = m_link->read({{nodeId, Attr::DataType}, {nodeId, Attr::ValueRank}});
        for (const DataValue &dv : attrs)
            if (dv.status && dv.status->isBad())
                throw OpcError(S::OPC_E_UNKNOWNITEMID);
        auto s = std::make_shared<ItemState>();
        s->itemId = itemId;
        s->nodeId = nodeId;
        s->clientHandle = clientHandle;
        uint32_t dataType = 0;
        if (const NodeId *t = attrs[0].value ? attrs[0].value->scalarAs<NodeId>() : nullptr)
            dataType = m_link->builtInTypeOf(*t);
        int32_t valueRank = -1;
        if (const int32_t *rank = attrs[1].value ? attrs[1].value->scalarAs<int32_t>() : nullptr)
            valueRank = *rank;
        s->canonical = canonicalTypeOf(NodeId::num(0, dataType), valueRank);
        s->writeType = builtInOf(dataType);
        s->isArray = valueRank >= 0;
        s->quality = qualityOf(StatusCode{Status::BadWaitingForInitialData});
        s->handle = m_link->nextHandle++;
        const uint32_t key = g.key;
        const Client::ItemSpec want{s->handle, nodeId, static_cast<double>(g.rate)};
        const int32_t error = m_link->run(CallTimeoutMs, [key, want](Client &c, std::function<void(int32_t)> done) {
            c.addItem(key, want, done);
        });
        if (error)
            throw OpcError(error);
        g.items.push_back(s);
        return std::make_shared<UaItem>(m_link, s);
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

};

// --- groups --------------------------------------------------------------

class UaGroup final : public OPCGroup, private GroupBound {
public:
    UaGroup(LinkPtr link, std::shared_ptr<GroupState> group) : GroupBound(std::move(link), std::move(group)) {}

    QString Name() override { return check().name; }
    int32_t UpdateRate() override { return check().rate; }
    void setUpdateRate(int32_t requested) override
    {
        GroupState &g = check();
        const double rate = requested < 0 ? static_cast<double>(static_cast<uint32_t>(requested)) : requested;
        const uint32_t key = g.key;
        double revised = 0;
        const int32_t error = m_link->run(CallTimeoutMs, [key, rate, &revised](Client &c, std::function<void(int32_t)> done) {
            c.modifySubscription(key, rate, [&revised, done](int32_t e, double r) {
                revised = r;
                done(e);
            });
        });
        if (error)
            throw OpcError(error);
        g.rate = grantedRate(revised);
    }
    bool IsSubscribed() override { return check().subscribed; }
    void setIsSubscribed(bool on) override { check().subscribed = on; }
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
        auto g = std::make_shared<GroupState>();
        g->name = groupName;
        g->key = m_link->nextHandle++;
        g->clientHandle = static_cast<int32_t>(g->key);
        const uint32_t key = g->key;
        double revised = 0;
        const int32_t error = m_link->run(CallTimeoutMs, [key, &revised](Client &c, std::function<void(int32_t)> done) {
            c.addSubscription(key, DefaultRate, [&revised, done](int32_t e, double r) {
                revised = r;
                done(e);
            });
        });
        if (error)
            throw OpcError(error);
        g->rate = grantedRate(revised);
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

// --- the address-space browser -------------------------------------------

class UaBrowser final : public OPCBrowser {
public:
    explicit UaBrowser(LinkPtr link) : m_link(std::move(link)) {}

    void ShowBranches() override
    {
        const auto children = browse(current());
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
        if (!flat) {
            for (const auto &c : browse(current()))
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
                for (const auto &c : browse(node)) {
                    const QString id = c.nodeId.toString();
                    if (!seen.insert(id).second)
                        continue;
                    if (c.nodeClass == 2)
                        m_list.push_back({id, id});
                    next.push_back(c.nodeId);
                    if (m_list.size() > FlatListingLimit || seen.size() > FlatListingLimit) {
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
        for (const auto &c : browse(current()))
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
        for (const auto &c : browse(current()))
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
    // continuation points to the end.
    std::vector<Child> browse(const NodeId &node)
    {
        m_link->check();
        std::vector<Child> out;
        auto [error, message] = m_link->service(
            Id::BrowseRequest, [&node](Encoder &e) { encodeBrowse(e, ReferencesPerAnswer, {BrowseDescription{node}}); });
        // The continuation point the server holds for us: a listing that
        // ends early, by a failure or the guard, gives it back.
        ByteString continuation;
        const auto release = qScopeGuard([this, &continuation] {
            if (!continuation.isNull && !continuation.data.isEmpty())
                releaseContinuationPoints({continuation});
        });
        for (int guard = 0; guard < 100000; ++guard) {
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
                for (const auto &ref : results[0].references)
                    if (ref.nodeId.serverIndex == 0 && ref.nodeId.namespaceUri.isNull())
                        out.push_back({ref.displayName.text.isEmpty() ? ref.browseName.name : ref.displayName.text,
                                       ref.nodeId.id, ref.nodeClass});
                continuation = results[0].continuationPoint;
            } catch (const DecodeError &) {
                throw OpcError(S::RPC_S_SERVER_UNAVAILABLE);
            }
            if (continuation.isNull || continuation.data.isEmpty())
                return out;
            std::tie(error, message) = m_link->service(Id::BrowseNextRequest, [&continuation](Encoder &e) {
                e.boolean(false);
                e.array(std::vector<ByteString>{continuation}, [](Encoder &x, const ByteString &b) { x.byteString(b); });
            });
        }
        return out;
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
            m_link->service(Id::BrowseRequest, [&asked](Encoder &e) { encodeBrowse(e, 1, asked); });
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
            m_link->service(Id::BrowseNextRequest, [&points](Encoder &e) {
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

// --- the server ----------------------------------------------------------

struct ServerStatus {
    QDateTime start, current;
    int32_t state = 0;
    QString productName, manufacturer, softwareVersion, buildNumber;
};

class UaServer final : public OPCServer {
public:
    ~UaServer() override
    {
        if (m_link)
            m_link->close();
    }

    Value GetOPCServers(const QString &node) override
    {
        const auto target = parseTarget(node);
        if (!target)
            throw OpcError(S::E_INVALIDARG);
        Worker worker;
        using Result = std::pair<int32_t, QByteArray>;
        QObject *context = worker.context();
        const Target t = *target;
        const Result r = worker.call<Result>(ConnectTimeoutMs + 1000, Result{S::RPC_S_SERVER_UNAVAILABLE, {}},
                                             [context, t](std::function<void(Result)> complete) {
            auto *channel = new Channel(context);
            channel->open(t.host, t.port, t.url, ConnectTimeoutMs, [channel, t, complete](int32_t error) {
                if (error) {
                    complete({error, {}});
                    channel->deleteLater();
                    return;
                }
                const QByteArray request = encodeRequest(Id::FindServersRequest, {}, [&t](Encoder &e) {
                    e.string(t.url);
                    e.int32(0);
                    e.int32(0);
                });
                channel->request(request, CallTimeoutMs, [channel, complete](const Reply &reply) {
                    complete({reply.error, reply.message});
                    channel->close();
                    channel->deleteLater();
                });
            });
        });
        if (r.first)
            throw OpcError(r.first);
        std::vector<Value> ids;
        try {
            Decoder d(r.second);
            const Response resp = decodeResponseStart(d);
            if (resp.header.serviceResult.isBad())
                throw OpcError(S::E_FAIL);
            for (const auto &server : d.array([](Decoder &x) { return decodeApplicationDescription(x); }))
                if (server.applicationType != 1)
                    ids.push_back(Value::text(server.applicationUri));
        } catch (const DecodeError &) {
            throw OpcError(S::RPC_S_SERVER_UNAVAILABLE);
        }
        return Value::array(opc::VT_BSTR, std::move(ids), 1);
    }

    void Connect(const QString &progId, const QString &node) override
    {
        if (m_link && m_link->alive)
            throw OpcError(S::E_FAIL);
        const auto target = parseTarget(node);
        if (!target)
            throw OpcError(S::E_INVALIDARG);
        if (progId.trimmed().isEmpty())
            throw OpcError(S::CO_E_CLASSSTRING);
        auto link = std::make_shared<Link>();
        link->worker = std::make_unique<Worker>();
        link->target = *target;
        link->serverId = progId;
        QObject *context = link->worker->context();
        Client *client = nullptr;
        link->worker->call<int>(2000, 0, [context, &client](std::function<void(int)> complete) {
            client = new Client(context);
            complete(0);
        });
        link->client = client;
        Target t = *target;
        const int32_t error = link->worker->call<int32_t>(ConnectTimeoutMs + 2000, S::RPC_S_SERVER_UNAVAILABLE,
                                                          [client, t, progId](std::function<void(int32_t)> complete) {
            client->connectTo(t, progId, ConnectTimeoutMs, complete);
        });
        // The password is not kept in this thread either.
        t.password.fill(QLatin1Char('\0'));
        if (error) {
            link->close();
            throw OpcError(error);
        }
        link->target.password.clear();
        link->alive = true;
        m_link = link;
        m_groups.reset();
    }

    void Disconnect() override
    {
        if (!m_link || !m_link->alive)
            throw OpcError(S::E_FAIL);
        m_link->close();
    }

    GroupsPtr OPCGroups() override
    {
        check();
        if (!m_groups)
            m_groups = std::make_shared<UaGroups>(m_link);
        return m_groups;
    }

    BrowserPtr CreateBrowser() override
    {
        check();
        return std::make_shared<UaBrowser>(m_link);
    }

    QString ServerName() override
    {
        check();
        return m_link->serverId;
    }
    QString ServerNode() override
    {
        check();
        return m_link->target.url;
    }
    QString VendorInfo() override
    {
        const ServerStatus s = status();
        return s.productName + QStringLiteral(", ") + s.manufacturer;
    }
    QDateTime StartTime() override { return status().start; }
    QDateTime CurrentTime() override { return status().current; }
    QDateTime LastUpdateTime() override { return status().current; }
    int16_t MajorVersion() override { return versionPart(0); }
    int16_t MinorVersion() override { return versionPart(1); }
    int16_t BuildNumber() override { return static_cast<int16_t>(status().buildNumber.toInt()); }
    int32_t ServerState() override
    {
        if (!m_link || !m_link->alive)
            return OPCDisconnected;
        switch (status().state) {
        case 0: return OPCRunning;
        case 2: return OPCNoconfig;
        case 3: return OPCSuspended;
        case 5: return OPCTest;
        case 6: return OPCDisconnected;
        default: return OPCFailed;
        }
    }
    int32_t LocaleID() override
    {
        check();
        return 1033; // the session asks for no locale: the server's default, English
    }
    int32_t Bandwidth() override
    {
        check();
        return -1;
    }

private:
    void check() const
    {
        if (!m_link || !m_link->alive)
            throw OpcError(S::E_FAIL);
    }

    int16_t versionPart(int index)
    {
        const QStringList parts = status().softwareVersion.split(QLatin1Char('.'));
        return static_cast<int16_t>(parts.value(index).toInt());
    }

    ServerStatus status()
    {
        check();
        const auto values = m_link->read({ReadValueId{NodeId::num(0, Id::ServerStatus), Attr::Value}});
        const DataValue &dv = values.at(0);
        const ExtensionObject *status = dv.value ? dv.value->scalarAs<ExtensionObject>() : nullptr;
        if (!status)
            throw OpcError(S::E_FAIL);
        const ExtensionObject &x = *status;
        ServerStatus s;
        try {
            Decoder d(x.body);
            const auto date = [](DateTime t) { return QDateTime::fromMSecsSinceEpoch(t.toMSecsSinceEpoch(), Qt::UTC); };
            s.start = date(d.dateTime());
            s.current = date(d.dateTime());
            s.state = d.int32();
            d.string(); // product uri
            s.manufacturer = d.string();
            s.productName = d.string();
            s.softwareVersion = d.string();
            s.buildNumber = d.string();
        } catch (const DecodeError &) {
            throw OpcError(S::E_FAIL);
        }
        return s;
    }

    LinkPtr m_link;
    std::shared_ptr<UaGroups> m_groups;
};

// --- routing -------------------------------------------------------------

class RoutingServer final : public OPCServer {
public:
    explicit RoutingServer(std::function<ServerPtr()> local) : m_makeLocal(std::move(local)) {}

    Value GetOPCServers(const QString &node) override { return pick(node)->GetOPCServers(node); }
    void Connect(const QString &progId, const QString &node) override
    {
        if (m_connected && m_connected->ServerState() != OPCDisconnected)
            throw OpcError(S::E_FAIL);
        auto target = pick(node);
        target->Connect(progId, node);
        m_connected = target;
    }
    void Disconnect() override { connected().Disconnect(); }
    GroupsPtr OPCGroups() override { return connected().OPCGroups(); }
    BrowserPtr CreateBrowser() override { return connected().CreateBrowser(); }
    QString ServerName() override { return connected().ServerName(); }
    QString ServerNode() override { return connected().ServerNode(); }
    QString VendorInfo() override { return connected().VendorInfo(); }
    QDateTime StartTime() override { return connected().StartTime(); }
    QDateTime CurrentTime() override { return connected().CurrentTime(); }
    QDateTime LastUpdateTime() override { return connected().LastUpdateTime(); }
    int16_t MajorVersion() override { return connected().MajorVersion(); }
    int16_t MinorVersion() override { return connected().MinorVersion(); }
    int16_t BuildNumber() override { return connected().BuildNumber(); }
    int32_t ServerState() override { return m_connected ? m_connected->ServerState() : int32_t(OPCDisconnected); }
    int32_t LocaleID() override { return connected().LocaleID(); }
    int32_t Bandwidth() override { return connected().Bandwidth(); }

private:
    ServerPtr pick(const QString &node)
    {
        if (isUaNode(node)) {
            if (!m_ua)
                m_ua = newUaServer();
            return m_ua;
        }
        if (!m_local)
            m_local = m_makeLocal();
        return m_local;
    }

    OPCServer &connected()
    {
        if (!m_connected)
            throw OpcError(S::E_FAIL);
        return *m_connected;
    }

    std::function<ServerPtr()> m_makeLocal;
    ServerPtr m_local, m_ua, m_connected;
};

} // namespace

int32_t qualityOf(StatusCode status)
{
    static const std::pair<uint32_t, int32_t> known[] = {
        {0x00000000, 0xC0}, {0x00960000, 0xD8}, {0x40000000, 0x40}, {0x40900000, 0x44}, {0x40930000, 0x50},
        {0x40940000, 0x54}, {0x40950000, 0x58}, {0x80000000, 0x00}, {0x80890000, 0x04}, {0x808A0000, 0x08},
        {0x808B0000, 0x0C}, {0x808C0000, 0x10}, {0x80310000, 0x18}, {0x808D0000, 0x1C}, {0x80320000, 0x20},
    };
    int32_t quality = -1;
    for (const auto &[code, q] : known)
        if ((status.code & 0xFFFF0000u) == code)
            quality = q;
    if (quality < 0)
        quality = (status.code & 0x80000000u) ? 0x00 : (status.code & 0x40000000u) ? 0x40 : 0xC0;
    // UA limit bits 8-9 are the OPC limit bits 0-1.
    return quality | static_cast<int32_t>((status.code >> 8) & 0x3);
}

int16_t canonicalTypeOf(const NodeId &dataType, int32_t valueRank)
{
    const int16_t scalar = dataType.ns == 0 && dataType.kind == NodeId::Kind::Numeric ? scalarTypeOf(dataType.numeric) : 12;
    if (valueRank >= 0 && !(scalar & opc::VT_ARRAY))
        return static_cast<int16_t>(scalar | opc::VT_ARRAY);
    return scalar;
}

opc::Value valueOf(const Variant &v)
{
    if (v.isNull())
        return {};
    if (!v.isArray)
        return v.values.empty() ? opc::Value{} : scalarValue(v.type, v.values[0]);
    std::vector<opc::Value> elements;
    elements.reserve(v.values.size());
    for (const Scalar &s : v.values)
        elements.push_back(scalarValue(v.type, s));
    const uint16_t elementType = elements.empty() ? uint16_t{opc::VT_EMPTY} : elements.front().type();
    return opc::Value::array(elementType, std::move(elements));
}

ServerPtr newUaServer() { return std::make_shared<UaServer>(); }

ServerPtr newRoutingServer(std::function<ServerPtr()> local) { return std::make_shared<RoutingServer>(std::move(local)); }

} // namespace opc::ua
