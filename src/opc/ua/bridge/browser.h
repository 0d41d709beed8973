// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/automation.h"
#include "opc/ua/bridge/link.h"

namespace opc::ua {

// The address-space browser of a connected server: objects and variables
// below the Objects folder, by browse name.
OPCAutomation::BrowserPtr newUaBrowser(LinkPtr link);

} // namespace opc::ua
