// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/automation.h"

namespace opc::ua {

// A server object of the OPC UA bridge: nodes "opc.tcp://..." only.
OPCAutomation::ServerPtr newUaServer();

} // namespace opc::ua
