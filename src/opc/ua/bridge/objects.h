// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/automation.h"
#include "opc/ua/bridge/link.h"

namespace opc::ua {

// The group collection of a connected server, with its groups, item
// collections and items: subscriptions and monitored items on the server.
OPCAutomation::GroupsPtr newUaGroups(LinkPtr link);

} // namespace opc::ua
