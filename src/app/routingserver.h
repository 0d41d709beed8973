// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/automation.h"

#include <functional>

namespace quorivo {

// The program's server object: "opc.tcp://" nodes go to the OPC UA bridge,
// every other node to the local component.
OPCAutomation::ServerPtr newRoutingServer(std::function<OPCAutomation::ServerPtr()> local);

} // namespace quorivo
