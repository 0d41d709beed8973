// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/sim/addressspace.h"
#include "opc/value.h"

#include <cstdint>

namespace opc::sim {

// Values are pure functions of the item and the sample time, so sampling
// needs no thread and a test clock makes them repeatable.
Value signalValue(const Leaf &leaf, uint64_t itemSeed, int64_t sampleMs);
int32_t signalQuality(const Leaf &leaf, int64_t sampleMs);
Value initialValue(uint16_t type);
uint64_t seedOf(const QString &itemId);

constexpr int32_t QualityGood = 192;
constexpr int32_t QualityOutOfService = 28;

} // namespace opc::sim
