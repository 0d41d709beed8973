// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <cstdint>
#include <memory>
#include <optional>

namespace opc::sim {

enum class Behaviour : uint8_t {
    Random,
    Saw,
    Triangle,
    Square,
    Sine,
    Register,
    ReadFails,
    WriteFails,
    WriteOnly,
    ReadOnly,
    FixedQuality,
    VaryingQuality,
    Plant,
    Counter,
};

enum class PlantSignal : uint8_t { TankLevel, TankTemperature, PumpRunning, PumpSpeed, HeaterOn, HeaterPower, InletFlow };

struct Leaf {
    uint16_t type = 0; // canonical variant type
    Behaviour behaviour = Behaviour::Random;
    int32_t param = 0; // quality for FixedQuality, signal for Plant
};

// A branch of the address space. Large parts are generated on demand, so a
// branch answers by index and by name without holding its children.
class Branch {
public:
    virtual ~Branch() = default;
    virtual int32_t branchCount() const = 0;
    virtual QString branchName(int32_t index) const = 0; // 0-based
    virtual std::shared_ptr<const Branch> findBranch(const QString &name) const = 0;
    virtual int32_t leafCount() const = 0;
    virtual QString leafName(int32_t index) const = 0;
    virtual std::optional<Leaf> findLeaf(const QString &name) const = 0;
};

// The root of the simulated address space, built once and shared.
std::shared_ptr<const Branch> addressSpaceRoot();

// Item IDs are the branch names from the root and the leaf name, joined by ".".
enum class ItemIdCheck { Valid, Invalid, Unknown };
ItemIdCheck resolveItemId(const QString &itemId, Leaf &leaf);

} // namespace opc::sim
