// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/automation.h"

#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

namespace testsupport {

// What the fault-injecting component does. Every call through it is counted
// and logged; the k-th call (or the n-th call of one name) fails. A
// disconnect-like failure makes every later call fail too, as when the
// server has gone away.
struct FaultPlan {
    int failAt = 0; // 1-based over all calls; 0: none
    QString failName;
    int failNameOccurrence = 1;
    int32_t code = opc::Status::E_FAIL;
    bool disconnectLike = false;

    std::optional<int32_t> createFails; // the server object cannot be created
    bool noBrowser = false;             // CreateBrowser gives nothing
    std::optional<opc::Value> serversOverride;

    int calls = 0;
    bool tripped = false;
    QStringList log;

    void hit(const char *name) { hit(QString::fromLatin1(name)); }
    void hit(const QString &name);
    int count(const QString &name) const { return static_cast<int>(log.count(name)); }
};

// Wraps a real backend (the simulation server by default) in the plan.
OPCAutomation::ServerPtr faultyServer(std::shared_ptr<FaultPlan> plan, OPCAutomation::ServerPtr inner);

// Installs a factory that makes faulty simulation servers for the life of
// the object.
class FaultyComponent {
public:
    FaultyComponent();
    ~FaultyComponent();
    std::shared_ptr<FaultPlan> plan;
};

} // namespace testsupport
