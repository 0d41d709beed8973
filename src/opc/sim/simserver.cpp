// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/sim/simserver.h"

#include "opc/sim/addressspace.h"
#include "opc/sim/clock.h"
#include "opc/sim/signals.h"

#include <QHash>
#include <QSysInfo>
#include <atomic>
#include <limits>
#include <optional>
#include <unordered_map>

namespace opc::sim {

using namespace OPCAutomation;
using opc::OpcError;
namespace S = opc::Status;

bool isLocalNode(const QString &node)
{
    const QString n = node.trimmed();
    return n.isEmpty() || n.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 ||
           n == QLatin1String("127.0.0.1") || n == QLatin1String("::1") ||
           n.compare(QSysInfo::machineHostName(), Qt::CaseInsensitive) == 0;
}

namespace {

std::atomic<int> g_live{0};

struct Counted {
    Counted() { ++g_live; }
    Counted(const Counted &) { ++g_live; }
    ~Counted() { --g_live; }
};

std::optional<QLocale> &serverLocale()
{
    static std::optional<QLocale> locale;
    return locale;
}

QLocale currentLocale() { return serverLocale().value_or(QLocale()); }

int32_t localeId(const QLocale &locale)
{
    struct Entry {
        QLocale::Language language;
        QLocale::Territory territory;
        int32_t id;
    };
    static const Entry table[] = {
        {QLocale::English, QLocale::UnitedStates, 1033}, {QLocale::English, QLocale::UnitedKingdom, 2057},
        {QLocale::Italian, QLocale::Italy, 1040},        {QLocale::German, QLocale::Germany, 1031},
        {QLocale::French, QLocale::France, 1036},        {QLocale::Spanish, QLocale::Spain, 3082},
        {QLocale::C, QLocale::AnyTerritory, 1033},
    };
    for (const auto &e : table)
        if (e.language == locale.language() && (e.territory == QLocale::AnyTerritory || e.territory == locale.territory()))
            return e.id;
    return 2048; // the system default locale
}

int64_t now() { return clock().nowMs(); }
QDateTime instant(int64_t ms) { return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC); }

constexpr int32_t DefaultRate = 1000;

int32_t grantRate(int32_t requested)
{
    // The interface passes the rate as an unsigned 32-bit number.
    const uint64_t asked = static_cast<uint32_t>(requested);
    const uint64_t nearest = (asked + 5) / 10 * 10;
    const uint64_t granted = std::max<uint64_t>(10, nearest);
    return static_cast<int32_t>(std::min<uint64_t>(granted, std::numeric_limits<int32_t>::max()));
}

struct Register {
    Value value;
    int64_t writtenMs = 0;
    Value previous;
    int64_t previousMs = 0;
};

class SimGroup;
class SimGroups;

struct Core {
    QString progId;
    int64_t startMs = 0;
    int32_t nextGroupHandle = 1;
    int32_t nextItemHandle = 1;
    int32_t nextAutoName = 1;
    std::vector<std::shared_ptr<SimGroup>> groups;
    std::shared_ptr<SimGroups> collection;
    // Node-based, so an item can keep a pointer to its register.
    std::unordered_map<QString, Register> registers;
};

std::shared_ptr<Core> alive(const std::weak_ptr<Core> &core)
{
    auto locked = core.lock();
    if (!locked)
        throw OpcError(S::E_FAIL);
    return locked;
}

class SimItem final : public OPCItem, Counted {
public:
    SimItem(std::weak_ptr<SimGroup> group, QString id, Leaf leaf, int32_t serverHandle, int32_t clientHandle)
        : m_group(group), m_groupObject(group.lock().get()), m_id(std::move(id)), m_leaf(leaf), m_seed(seedOf(m_id)),
          m_serverHandle(serverHandle), m_clientHandle(clientHandle)
    {
    }

    QString ItemID() override { live(); return m_id; }
    int32_t ServerHandle() override { live(); return m_serverHandle; }
    int32_t ClientHandle() override { live(); return m_clientHandle; }
    void Read(int16_t source) override;
    Value ItemValue() override { live(); return m_value; }
    int32_t Quality() override { live(); return m_quality; }
    QDateTime TimeStamp() override { live(); return m_timestamp; }
    int16_t CanonicalDataType() override { live(); return static_cast<int16_t>(m_leaf.type); }
    void Write(const Value &value) override;

    void detach() { m_removed = true; }
    const Leaf &leaf() const { return m_leaf; }

private:
    std::shared_ptr<SimGroup> check();
    // The same check without taking a reference: a table refresh makes
    // several calls per item, and counting references costs more than the
    // calls themselves. Everything runs on the window's thread.
    SimGroup &live();
    // The register this item reads and writes, made with its initial value
    // (as written when the server started) the first time any item asks.
    Register &registerIn(Core &core);

    std::weak_ptr<SimGroup> m_group;
    SimGroup *m_groupObject; // valid while m_group has not expired
    QString m_id;
    Leaf m_leaf;
    uint64_t m_seed;
    int32_t m_serverHandle;
    int32_t m_clientHandle;
    bool m_removed = false;
    Value m_value;
    int32_t m_quality = 0;
    Register *m_register = nullptr; // in the server's map, which outlives no item's use
    QDateTime m_timestamp = dayZero();
    int64_t m_timestampMs = std::numeric_limits<int64_t>::min();

    // A sample time that did not move keeps its date object: most reads of
    // a register find the time of its last write.
    void setTimestamp(int64_t ms)
    {
        if (ms == m_timestampMs)
            return;
        m_timestampMs = ms;
        m_timestamp = instant(ms);
    }
};

class SimItems final : public OPCItems, Counted {
public:
    explicit SimItems(std::weak_ptr<SimGroup> group) : m_group(group), m_groupObject(group.lock().get()) {}
    ItemPtr AddItem(const QString &itemId, int32_t clientHandle) override;
    int32_t Count() override;
    ItemPtr Item(int32_t index) override;
    void Remove(int32_t numItems, const HandleArray &serverHandles, HandleArray &errors) override;

private:
    std::weak_ptr<SimGroup> m_group;
    SimGroup *m_groupObject; // valid while m_group has not expired
};

class SimGroup final : public OPCGroup, public std::enable_shared_from_this<SimGroup>, Counted {
public:
    SimGroup(std::weak_ptr<Core> core, QString name, int32_t serverHandle, int32_t clientHandle, bool active, int32_t rate)
        : m_core(core), m_coreObject(core.lock().get()), m_name(std::move(name)), m_serverHandle(serverHandle), m_clientHandle(clientHandle),
          m_active(active), m_rate(rate), m_sampleBaseMs(now())
    {
    }

    QString Name() override { check(); return m_name; }
    int32_t UpdateRate() override { check(); return m_rate; }
    void setUpdateRate(int32_t requested) override
    {
        check();
        m_rate = grantRate(requested);
        m_sampleBaseMs = now();
    }
    bool IsSubscribed() override { check(); return m_subscribed; }
    void setIsSubscribed(bool on) override { check(); m_subscribed = on; }
    bool IsActive() override { check(); return m_active; }
    void setIsActive(bool on) override
    {
        check();
        if (on == m_active)
            return;
        if (!on)
            m_inactiveSinceMs = latestSampleMs();
        else
            m_sampleBaseMs = now();
        m_active = on;
    }
    int32_t ClientHandle() override { check(); return m_clientHandle; }
    void setClientHandle(int32_t handle) override { check(); m_clientHandle = handle; }
    int32_t ServerHandle() override { check(); return m_serverHandle; }
    ItemsPtr OPCItems() override
    {
        check();
        if (!m_collection)
            m_collection = std::make_shared<SimItems>(weak_from_this());
        return m_collection;
    }

    std::shared_ptr<Core> check() const
    {
        auto core = alive(m_core);
        if (m_removed)
            throw OpcError(S::E_FAIL);
        return core;
    }
    Core &live() const
    {
        if (m_removed || m_core.expired())
            throw OpcError(S::E_FAIL);
        return *m_coreObject;
    }

    // The time of the cache's latest sample: the group samples every granted
    // rate from when its rate was last set.
    int64_t latestSampleMs() const
    {
        if (!m_active)
            return m_inactiveSinceMs;
        const int64_t elapsed = std::max<int64_t>(0, now() - m_sampleBaseMs);
        return m_sampleBaseMs + elapsed / m_rate * m_rate;
    }

    void detach()
    {
        m_removed = true;
        for (auto &item : m_items)
            item->detach();
        m_items.clear();
    }

    const QString &name() const { return m_name; }
    int32_t serverHandle() const { return m_serverHandle; }
    bool active() const { return m_active; }
    std::vector<std::shared_ptr<SimItem>> &items() { return m_items; }
    std::weak_ptr<Core> core() const { return m_core; }

private:
    std::weak_ptr<Core> m_core;
    Core *m_coreObject; // valid while m_core has not expired
    QString m_name;
    int32_t m_serverHandle;
    int32_t m_clientHandle;
    bool m_active;
    bool m_subscribed = false;
    bool m_removed = false;
    int32_t m_rate;
    int64_t m_sampleBaseMs;
    int64_t m_inactiveSinceMs = 0;
    std::vector<std::shared_ptr<SimItem>> m_items;
    std::shared_ptr<SimItems> m_collection;
};

SimGroup &SimItem::live()
{
    if (m_removed || m_group.expired())
        throw OpcError(S::E_FAIL);
    m_groupObject->live();
    return *m_groupObject;
}

Register &SimItem::registerIn(Core &core)
{
    if (!m_register) {
        const Value initial = initialValue(m_leaf.type);
        m_register = &core.registers.try_emplace(m_id, Register{initial, core.startMs, initial, core.startMs}).first->second;
    }
    return *m_register;
}

std::shared_ptr<SimGroup> SimItem::check()
{
    auto group = m_group.lock();
    if (!group || m_removed)
        throw OpcError(S::E_FAIL);
    group->check();
    return group;
}

void SimItem::Read(int16_t source)
{
    SimGroup *group = &live();
    if (source != OPCCache && source != OPCDevice)
        throw OpcError(S::E_INVALIDARG);
    switch (m_leaf.behaviour) {
    case Behaviour::ReadFails:
        throw OpcError(S::E_FAIL);
    case Behaviour::WriteOnly:
        throw OpcError(S::OPC_E_BADRIGHTS);
    default:
        break;
    }
    const int64_t sampleMs = source == OPCDevice ? now() : group->latestSampleMs();
    if (m_leaf.behaviour == Behaviour::Register) {
        const Register &reg = registerIn(group->live());
        if (reg.writtenMs <= sampleMs) {
            m_value = reg.value;
            setTimestamp(reg.writtenMs);
        } else {
            m_value = reg.previous;
            setTimestamp(reg.previousMs);
        }
        m_quality = QualityGood;
    } else {
        m_value = signalValue(m_leaf, m_seed, sampleMs);
        m_quality = signalQuality(m_leaf, sampleMs);
        setTimestamp(sampleMs);
    }
    if (!group->active() && source == OPCCache)
        m_quality = QualityOutOfService;
}

void SimItem::Write(const Value &value)
{
    auto group = check();
    switch (m_leaf.behaviour) {
    case Behaviour::Register:
    case Behaviour::WriteOnly:
        break;
    case Behaviour::WriteFails:
        throw OpcError(S::E_FAIL);
    default:
        throw OpcError(S::OPC_E_BADRIGHTS);
    }
    Value converted = value;
    if (value.type() != m_leaf.type) {
        if (value.type() != VT_BSTR)
            throw OpcError(S::DISP_E_TYPEMISMATCH);
        converted = textToValue(value.string(), m_leaf.type, currentLocale());
    }
    Register &reg = registerIn(group->live());
    reg.previous = reg.value;
    reg.previousMs = reg.writtenMs;
    reg.value = converted;
    reg.writtenMs = now();
}

ItemPtr SimItems::AddItem(const QString &itemId, int32_t clientHandle)
{
    auto group = m_group.lock();
    if (!group)
        throw OpcError(S::E_FAIL);
    auto core = group->check();
    Leaf leaf;
    switch (resolveItemId(itemId, leaf)) {
    case ItemIdCheck::Invalid:
        throw OpcError(S::OPC_E_INVALIDITEMID);
    case ItemIdCheck::Unknown:
        throw OpcError(S::OPC_E_UNKNOWNITEMID);
    case ItemIdCheck::Valid:
        break;
    }
    auto item = std::make_shared<SimItem>(group, itemId, leaf, core->nextItemHandle++, clientHandle);
    group->items().push_back(item);
    return item;
}

int32_t SimItems::Count()
{
    auto group = m_group.lock();
    if (!group)
        throw OpcError(S::E_FAIL);
    group->check();
    return static_cast<int32_t>(group->items().size());
}

ItemPtr SimItems::Item(int32_t index)
{
    if (m_group.expired())
        throw OpcError(S::E_FAIL);
    SimGroup *group = m_groupObject;
    group->live();
    auto &items = group->items();
    if (index < 1 || static_cast<size_t>(index) > items.size())
        throw OpcError(S::E_INVALIDARG);
    return items[static_cast<size_t>(index) - 1];
}

void SimItems::Remove(int32_t numItems, const HandleArray &serverHandles, HandleArray &errors)
{
    auto group = m_group.lock();
    if (!group)
        throw OpcError(S::E_FAIL);
    group->check();
    if (numItems < 0 || static_cast<size_t>(numItems) > serverHandles.values.size())
        throw OpcError(S::E_INVALIDARG);
    auto &items = group->items();
    errors.lowerBound = serverHandles.lowerBound;
    errors.values.assign(static_cast<size_t>(numItems), S::S_OK);
    for (int32_t i = 0; i < numItems; ++i) {
        const int32_t handle = serverHandles.values[static_cast<size_t>(i)];
        auto it = std::find_if(items.begin(), items.end(),
                               [&](const auto &item) { return item->ServerHandle() == handle; });
        if (it == items.end()) {
            errors.values[static_cast<size_t>(i)] = S::OPC_E_INVALIDHANDLE;
            continue;
        }
        (*it)->detach();
        items.erase(it);
    }
}

class SimGroups final : public OPCGroups, Counted {
public:
    explicit SimGroups(std::weak_ptr<Core> core) : m_core(std::move(core)) {}

    GroupPtr Add(const QString &name) override
    {
        auto core = alive(m_core);
        QString groupName = name;
        if (groupName.isEmpty()) {
            do
                groupName = QStringLiteral("Group%1").arg(core->nextAutoName++);
            while (find(*core, groupName));
        } else if (find(*core, groupName)) {
            throw OpcError(S::OPC_E_DUPLICATENAME);
        }
        const int32_t handle = core->nextGroupHandle++;
        auto group = std::make_shared<SimGroup>(m_core, groupName, handle, handle, true, DefaultRate);
        core->groups.push_back(group);
        return group;
    }

    GroupPtr GetOPCGroup(const QString &name) override
    {
        auto core = alive(m_core);
        if (auto group = find(*core, name))
            return group;
        throw OpcError(S::E_INVALIDARG);
    }

    int32_t Count() override { return static_cast<int32_t>(alive(m_core)->groups.size()); }

    GroupPtr Item(int32_t index) override
    {
        auto core = alive(m_core);
        if (index < 1 || static_cast<size_t>(index) > core->groups.size())
            throw OpcError(S::E_INVALIDARG);
        return core->groups[static_cast<size_t>(index) - 1];
    }

    void Remove(int32_t serverHandle) override
    {
        auto core = alive(m_core);
        auto &groups = core->groups;
        auto it = std::find_if(groups.begin(), groups.end(),
                               [&](const auto &group) { return group->serverHandle() == serverHandle; });
        if (it == groups.end())
            throw OpcError(S::E_INVALIDARG);
        (*it)->detach();
        groups.erase(it);
    }

    int32_t DefaultGroupUpdateRate() override { alive(m_core); return DefaultRate; }
    bool DefaultGroupIsActive() override { alive(m_core); return true; }

private:
    static std::shared_ptr<SimGroup> find(const Core &core, const QString &name)
    {
        for (const auto &group : core.groups)
            if (group->name() == name)
                return group;
        return nullptr;
    }
    std::weak_ptr<Core> m_core;
};

class SimBrowser final : public OPCBrowser, Counted {
public:
    explicit SimBrowser(std::weak_ptr<Core> core) : m_core(std::move(core)) { m_path.push_back(addressSpaceRoot()); }

    void ShowBranches() override
    {
        alive(m_core);
        m_flat.clear();
        m_listing = Listing::Branches;
        m_listed = m_path.back();
    }

    void ShowLeafs(bool flat) override
    {
        alive(m_core);
        m_flat.clear();
        m_listed = m_path.back();
        if (!flat) {
            m_listing = Listing::Leaves;
            return;
        }
        m_listing = Listing::Flat;
        QString prefix;
        for (const QString &name : m_names)
            prefix += name + QLatin1Char('.');
        if (!collect(*m_path.back(), prefix)) {
            m_flat.clear();
            m_listing = Listing::None;
            throw OpcError(S::E_OUTOFMEMORY);
        }
    }

    int32_t Count() override
    {
        alive(m_core);
        switch (m_listing) {
        case Listing::Branches:
            return m_listed->branchCount();
        case Listing::Leaves:
            return m_listed->leafCount();
        case Listing::Flat:
            return static_cast<int32_t>(m_flat.size());
        case Listing::None:
            break;
        }
        return 0;
    }

    QString Item(int32_t index) override
    {
        if (index < 1 || index > Count())
            throw OpcError(S::E_INVALIDARG);
        switch (m_listing) {
        case Listing::Branches:
            return m_listed->branchName(index - 1);
        case Listing::Leaves:
            return m_listed->leafName(index - 1);
        default:
            return m_flat[static_cast<size_t>(index) - 1];
        }
    }

    void MoveToRoot() override
    {
        alive(m_core);
        m_path.resize(1);
        m_names.clear();
    }

    void MoveDown(const QString &branch) override
    {
        alive(m_core);
        auto next = m_path.back()->findBranch(branch);
        if (!next)
            throw OpcError(S::E_INVALIDARG);
        m_path.push_back(std::move(next));
        m_names.push_back(branch);
    }

    void MoveUp() override
    {
        alive(m_core);
        if (m_path.size() == 1)
            throw OpcError(S::E_FAIL);
        m_path.pop_back();
        m_names.pop_back();
    }

    QString GetItemID(const QString &leaf) override
    {
        alive(m_core);
        if (!m_path.back()->findLeaf(leaf))
            throw OpcError(S::E_INVALIDARG);
        QString id;
        for (const QString &name : m_names)
            id += name + QLatin1Char('.');
        return id + leaf;
    }

private:
    enum class Listing { None, Branches, Leaves, Flat };
    static constexpr size_t FlatLimit = 1'000'000;

    // Depth first; gives up past the limit (the generated tree is endless).
    bool collect(const Branch &branch, const QString &prefix)
    {
        for (int32_t i = 0; i < branch.leafCount(); ++i) {
            if (m_flat.size() >= FlatLimit)
                return false;
            m_flat.push_back(prefix + branch.leafName(i));
        }
        for (int32_t i = 0; i < branch.branchCount(); ++i) {
            const QString name = branch.branchName(i);
            if (!collect(*branch.findBranch(name), prefix + name + QLatin1Char('.')))
                return false;
        }
        return true;
    }

    std::weak_ptr<Core> m_core;
    std::vector<std::shared_ptr<const Branch>> m_path;
    QStringList m_names;
    Listing m_listing = Listing::None;
    std::shared_ptr<const Branch> m_listed;
    std::vector<QString> m_flat;
};

class SimServer final : public OPCServer, Counted {
public:
    Value GetOPCServers(const QString &node) override
    {
        if (!isLocalNode(node))
            throw OpcError(S::RPC_S_SERVER_UNAVAILABLE);
        return Value::array(VT_BSTR, {Value::text(QString::fromLatin1(ProgId))});
    }

    void Connect(const QString &progId, const QString &node) override
    {
        if (m_core)
            throw OpcError(S::E_FAIL);
        if (!isLocalNode(node))
            throw OpcError(S::RPC_S_SERVER_UNAVAILABLE);
        if (progId.compare(QString::fromLatin1(ProgId), Qt::CaseInsensitive) != 0)
            throw OpcError(S::CO_E_CLASSSTRING);
        m_core = std::make_shared<Core>();
        m_core->progId = QString::fromLatin1(ProgId);
        m_core->startMs = now();
        m_core->collection = std::make_shared<SimGroups>(m_core);
    }

    void Disconnect() override
    {
        auto core = connected();
        for (auto &group : core->groups)
            group->detach();
        core->groups.clear();
        m_core.reset();
    }

    GroupsPtr OPCGroups() override { return connected()->collection; }
    BrowserPtr CreateBrowser() override { return std::make_shared<SimBrowser>(connected()); }

    QString ServerName() override { return connected()->progId; }
    QString ServerNode() override { connected(); return {}; }
    QString VendorInfo() override { connected(); return QStringLiteral("Quorivo Simulation Server"); }
    QDateTime StartTime() override { return instant(connected()->startMs); }
    QDateTime CurrentTime() override { connected(); return instant(now()); }
    QDateTime LastUpdateTime() override
    {
        auto core = connected();
        std::optional<int64_t> latest;
        for (const auto &group : core->groups)
            if (group->active())
                latest = std::max(latest.value_or(std::numeric_limits<int64_t>::min()), group->latestSampleMs());
        return latest ? instant(*latest) : dayZero();
    }
    int16_t MajorVersion() override { connected(); return 1; }
    int16_t MinorVersion() override { connected(); return 0; }
    int16_t BuildNumber() override { connected(); return 1; }
    int32_t ServerState() override { return m_core ? OPCRunning : OPCDisconnected; }
    int32_t LocaleID() override { connected(); return localeId(currentLocale()); }
    int32_t Bandwidth() override { connected(); return -1; }

    ~SimServer() override
    {
        if (m_core)
            for (auto &group : m_core->groups)
                group->detach();
    }

private:
    std::shared_ptr<Core> connected() const
    {
        if (!m_core)
            throw OpcError(S::E_FAIL);
        return m_core;
    }
    std::shared_ptr<Core> m_core;
};

} // namespace

ServerPtr newSimulationServer() { return std::make_shared<SimServer>(); }
int liveObjects() { return g_live.load(); }
void setServerLocale(const QLocale &locale) { serverLocale() = locale; }

} // namespace opc::sim
