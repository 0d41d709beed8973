// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/sim/addressspace.h"

#include "opc/value.h"

#include <QHash>
#include <vector>

namespace opc::sim {

namespace {

class StaticBranch final : public Branch {
public:
    StaticBranch &branch(const QString &name, std::shared_ptr<const Branch> child)
    {
        m_branchIndex.insert(name, m_branches.size());
        m_branches.emplace_back(name, std::move(child));
        return *this;
    }
    StaticBranch &leaf(const QString &name, Leaf leaf)
    {
        m_leafIndex.insert(name, m_leaves.size());
        m_leaves.emplace_back(name, leaf);
        return *this;
    }

    int32_t branchCount() const override { return static_cast<int32_t>(m_branches.size()); }
    QString branchName(int32_t index) const override { return m_branches[static_cast<size_t>(index)].first; }
    std::shared_ptr<const Branch> findBranch(const QString &name) const override
    {
        const auto it = m_branchIndex.constFind(name);
        return it == m_branchIndex.cend() ? nullptr : m_branches[*it].second;
    }
    int32_t leafCount() const override { return static_cast<int32_t>(m_leaves.size()); }
    QString leafName(int32_t index) const override { return m_leaves[static_cast<size_t>(index)].first; }
    std::optional<Leaf> findLeaf(const QString &name) const override
    {
        const auto it = m_leafIndex.constFind(name);
        if (it == m_leafIndex.cend())
            return std::nullopt;
        return m_leaves[*it].second;
    }

private:
    std::vector<std::pair<QString, std::shared_ptr<const Branch>>> m_branches;
    std::vector<std::pair<QString, Leaf>> m_leaves;
    QHash<QString, size_t> m_branchIndex;
    QHash<QString, size_t> m_leafIndex;
};

// Numbered names such as "Leaf00001": parsed back without any table.
QString numbered(const QString &prefix, int32_t n) { return prefix + QStringLiteral("%1").arg(n, 5, 10, QLatin1Char('0')); }

int32_t parseNumbered(const QString &prefix, const QString &name, int32_t count)
{
    if (!name.startsWith(prefix) || name.size() != prefix.size() + 5)
        return -1;
    bool ok = false;
    const int32_t n = name.mid(prefix.size()).toInt(&ok);
    if (!ok || n < 1 || n > count || numbered(prefix, n) != name)
        return -1;
    return n;
}

class ManyLeaves final : public Branch {
public:
    explicit ManyLeaves(int32_t count) : m_count(count) {}
    int32_t branchCount() const override { return 0; }
    QString branchName(int32_t) const override { return {}; }
    std::shared_ptr<const Branch> findBranch(const QString &) const override { return nullptr; }
    int32_t leafCount() const override { return m_count; }
    QString leafName(int32_t index) const override { return numbered(QStringLiteral("Leaf"), index + 1); }
    std::optional<Leaf> findLeaf(const QString &name) const override
    {
        if (parseNumbered(QStringLiteral("Leaf"), name, m_count) < 0)
            return std::nullopt;
        return Leaf{VT_R8, Behaviour::Sine, 0};
    }

private:
    int32_t m_count;
};

class ManyBranches final : public Branch {
public:
    explicit ManyBranches(int32_t count) : m_count(count)
    {
        auto single = std::make_shared<StaticBranch>();
        single->leaf(QStringLiteral("Value"), Leaf{VT_I4, Behaviour::Saw, 0});
        m_child = std::move(single);
    }
    int32_t branchCount() const override { return m_count; }
    QString branchName(int32_t index) const override { return numbered(QStringLiteral("Branch"), index + 1); }
    std::shared_ptr<const Branch> findBranch(const QString &name) const override
    {
        return parseNumbered(QStringLiteral("Branch"), name, m_count) < 0 ? nullptr : m_child;
    }
    int32_t leafCount() const override { return 0; }
    QString leafName(int32_t) const override { return {}; }
    std::optional<Leaf> findLeaf(const QString &) const override { return std::nullopt; }

private:
    int32_t m_count;
    std::shared_ptr<const Branch> m_child;
};

// A deep tree computed from its shape alone: Fanout branches and three
// leaves at every node, Depth levels (10^Depth nodes at the bottom level).
class GeneratedTree final : public Branch {
public:
    static constexpr int32_t Fanout = 10;
    explicit GeneratedTree(int depth) : m_depth(depth) {}

    int32_t branchCount() const override { return m_depth > 0 ? Fanout : 0; }
    QString branchName(int32_t index) const override { return QStringLiteral("Node%1").arg(index); }
    std::shared_ptr<const Branch> findBranch(const QString &name) const override
    {
        if (m_depth == 0 || name.size() != 5 || !name.startsWith(QLatin1String("Node")) || !name.back().isDigit())
            return nullptr;
        return below();
    }
    int32_t leafCount() const override { return 3; }
    QString leafName(int32_t index) const override { return QStringLiteral("Value%1").arg(index + 1); }
    std::optional<Leaf> findLeaf(const QString &name) const override
    {
        static const QString names[] = {QStringLiteral("Value1"), QStringLiteral("Value2"), QStringLiteral("Value3")};
        static const Leaf leaves[] = {{VT_R8, Behaviour::Sine, 0}, {VT_I4, Behaviour::Random, 0}, {VT_BOOL, Behaviour::Square, 0}};
        for (int i = 0; i < 3; ++i)
            if (name == names[i])
                return leaves[i];
        return std::nullopt;
    }

private:
    std::shared_ptr<const Branch> below() const
    {
        // One node object per level: every node of a level looks alike.
        if (!m_below)
            m_below = std::make_shared<GeneratedTree>(m_depth - 1);
        return m_below;
    }
    int m_depth;
    mutable std::shared_ptr<const Branch> m_below;
};

struct TypeName {
    const char *name;
    uint16_t type;
};

constexpr TypeName ScalarTypes[] = {
    {"Int1", VT_I1},   {"Int2", VT_I2},   {"Int4", VT_I4},   {"Int8", VT_I8},     {"UInt1", VT_UI1},
    {"UInt2", VT_UI2}, {"UInt4", VT_UI4}, {"UInt8", VT_UI8}, {"Real4", VT_R4},    {"Real8", VT_R8},
    {"Money", VT_CY},  {"Time", VT_DATE}, {"String", VT_BSTR}, {"Boolean", VT_BOOL},
};

constexpr TypeName NumericTypes[] = {
    {"Int1", VT_I1},   {"Int2", VT_I2},   {"Int4", VT_I4}, {"UInt1", VT_UI1}, {"UInt2", VT_UI2},
    {"UInt4", VT_UI4}, {"Real4", VT_R4}, {"Real8", VT_R8},
};

QString name(const char *n) { return QString::fromLatin1(n); }

std::shared_ptr<const Branch> buildRoot()
{
    auto random = std::make_shared<StaticBranch>();
    for (const auto &t : ScalarTypes)
        random->leaf(name(t.name), Leaf{t.type, Behaviour::Random, 0});
    random->leaf(QStringLiteral("ArrayOfReal8"), Leaf{static_cast<uint16_t>(VT_ARRAY | VT_R8), Behaviour::Random, 0});
    random->leaf(QStringLiteral("ArrayOfString"), Leaf{static_cast<uint16_t>(VT_ARRAY | VT_BSTR), Behaviour::Random, 0});
    random->leaf(QStringLiteral("VaryingQuality"), Leaf{VT_R8, Behaviour::VaryingQuality, 0});

    auto waves = std::make_shared<StaticBranch>();
    const std::pair<const char *, Behaviour> shapes[] = {
        {"Saw", Behaviour::Saw}, {"Triangle", Behaviour::Triangle}, {"Square", Behaviour::Square}, {"Sine", Behaviour::Sine}};
    for (const auto &[shapeName, behaviour] : shapes) {
        auto shape = std::make_shared<StaticBranch>();
        for (const auto &t : NumericTypes)
            shape->leaf(name(t.name), Leaf{t.type, behaviour, 0});
        waves->branch(name(shapeName), shape);
    }

    auto registers = std::make_shared<StaticBranch>();
    for (const auto &t : ScalarTypes)
        registers->leaf(name(t.name), Leaf{t.type, Behaviour::Register, 0});
    for (const auto &t : ScalarTypes)
        registers->leaf(QStringLiteral("ArrayOf") + name(t.name),
                        Leaf{static_cast<uint16_t>(VT_ARRAY | t.type), Behaviour::Register, 0});

    auto faults = std::make_shared<StaticBranch>();
    faults->leaf(QStringLiteral("ReadError"), Leaf{VT_R8, Behaviour::ReadFails, 0})
        .leaf(QStringLiteral("WriteError"), Leaf{VT_R8, Behaviour::WriteFails, 0})
        .leaf(QStringLiteral("WriteOnly"), Leaf{VT_I4, Behaviour::WriteOnly, 0})
        .leaf(QStringLiteral("ReadOnly"), Leaf{VT_I4, Behaviour::ReadOnly, 0});

    auto qualities = std::make_shared<StaticBranch>();
    const std::pair<const char *, int32_t> standard[] = {
        {"Good", 192},          {"LocalOverride", 216}, {"Uncertain", 64},      {"LastUsable", 68},
        {"Bad", 0},             {"ConfigError", 4},     {"NotConnected", 8},    {"DeviceFailure", 12},
        {"SensorFailure", 16},  {"LastKnown", 20},      {"CommFailure", 24},    {"OutOfService", 28},
    };
    for (const auto &[qualityName, quality] : standard)
        qualities->leaf(name(qualityName), Leaf{VT_R8, Behaviour::FixedQuality, quality});

    auto tank = std::make_shared<StaticBranch>();
    tank->leaf(QStringLiteral("Level"), Leaf{VT_R8, Behaviour::Plant, static_cast<int32_t>(PlantSignal::TankLevel)})
        .leaf(QStringLiteral("Temperature"), Leaf{VT_R8, Behaviour::Plant, static_cast<int32_t>(PlantSignal::TankTemperature)})
        .leaf(QStringLiteral("InletFlow"), Leaf{VT_R4, Behaviour::Plant, static_cast<int32_t>(PlantSignal::InletFlow)});
    auto pump = std::make_shared<StaticBranch>();
    pump->leaf(QStringLiteral("Running"), Leaf{VT_BOOL, Behaviour::Plant, static_cast<int32_t>(PlantSignal::PumpRunning)})
        .leaf(QStringLiteral("Speed"), Leaf{VT_I4, Behaviour::Plant, static_cast<int32_t>(PlantSignal::PumpSpeed)});
    auto heater = std::make_shared<StaticBranch>();
    heater->leaf(QStringLiteral("On"), Leaf{VT_BOOL, Behaviour::Plant, static_cast<int32_t>(PlantSignal::HeaterOn)})
        .leaf(QStringLiteral("Power"), Leaf{VT_R8, Behaviour::Plant, static_cast<int32_t>(PlantSignal::HeaterPower)});
    auto line = std::make_shared<StaticBranch>();
    line->branch(QStringLiteral("Tank1"), tank).branch(QStringLiteral("Pump1"), pump).branch(QStringLiteral("Heater1"), heater);
    auto area = std::make_shared<StaticBranch>();
    area->branch(QStringLiteral("Line1"), line);
    auto plant = std::make_shared<StaticBranch>();
    plant->branch(QStringLiteral("Area1"), area);

    auto scale = std::make_shared<StaticBranch>();
    scale->branch(QStringLiteral("Leaves40000"), std::make_shared<ManyLeaves>(40000))
        .branch(QStringLiteral("Branches40000"), std::make_shared<ManyBranches>(40000))
        .branch(QStringLiteral("Generated"), std::make_shared<GeneratedTree>(12));

    auto root = std::make_shared<StaticBranch>();
    root->branch(QStringLiteral("Random"), random)
        .branch(QStringLiteral("Waves"), waves)
        .branch(QStringLiteral("Registers"), registers)
        .branch(QStringLiteral("Faults"), faults)
        .branch(QStringLiteral("Qualities"), qualities)
        .branch(QStringLiteral("Plant"), plant)
        .branch(QStringLiteral("Scale"), scale)
        .leaf(QStringLiteral("Heartbeat"), Leaf{VT_BOOL, Behaviour::Square, 0})
        .leaf(QStringLiteral("Counter"), Leaf{VT_I4, Behaviour::Counter, 0});
    return root;
}

} // namespace

std::shared_ptr<const Branch> addressSpaceRoot()
{
    static const std::shared_ptr<const Branch> root = buildRoot();
    return root;
}

ItemIdCheck resolveItemId(const QString &itemId, Leaf &leaf)
{
    if (itemId.trimmed().isEmpty() || itemId.front().isSpace() || itemId.back().isSpace())
        return ItemIdCheck::Invalid;
    const QStringList parts = itemId.split(QLatin1Char('.'));
    for (const QString &part : parts)
        if (part.isEmpty())
            return ItemIdCheck::Invalid;
    std::shared_ptr<const Branch> at = addressSpaceRoot();
    for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
        at = at->findBranch(parts[i]);
        if (!at)
            return ItemIdCheck::Unknown;
    }
    const auto found = at->findLeaf(parts.back());
    if (!found)
        return ItemIdCheck::Unknown;
    leaf = *found;
    return ItemIdCheck::Valid;
}

} // namespace opc::sim
