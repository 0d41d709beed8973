// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/sim/clock.h"

#include <QDateTime>

namespace testsupport {

// A clock that moves only when told; installed for the life of the object.
class ManualClock final : public opc::sim::Clock {
public:
    explicit ManualClock(int64_t startMs = QDateTime(QDate(2026, 3, 14), QTime(9, 26, 53), Qt::UTC).toMSecsSinceEpoch())
        : m_now(startMs)
    {
        opc::sim::setClock(this);
    }
    ~ManualClock() override { opc::sim::setClock(nullptr); }
    int64_t nowMs() const override { return m_now; }
    void advance(int64_t ms) { m_now += ms; }

private:
    int64_t m_now;
};

} // namespace testsupport
