// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>

namespace opc::sim {

// The simulation's sense of time, in milliseconds since the epoch (UTC).
// Tests put a manual clock in its place.
class Clock {
public:
    virtual ~Clock() = default;
    virtual int64_t nowMs() const = 0;
};

const Clock &clock();
// nullptr restores the system clock. The caller keeps ownership.
void setClock(const Clock *replacement);

} // namespace opc::sim
