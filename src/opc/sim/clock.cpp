// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/sim/clock.h"

#include <QDateTime>

namespace opc::sim {

namespace {
class SystemClock final : public Clock {
public:
    int64_t nowMs() const override { return QDateTime::currentMSecsSinceEpoch(); }
};

const SystemClock systemClock;
const Clock *current = &systemClock;
} // namespace

const Clock &clock() { return *current; }
void setClock(const Clock *replacement) { current = replacement ? replacement : &systemClock; }

} // namespace opc::sim
