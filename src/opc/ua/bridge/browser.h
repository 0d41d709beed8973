// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/automation.h"
#include "opc/ua/bridge/link.h"

namespace opc::ua {

// The address-space browser of a connected server: objects and variables
// below the Objects folder, by browse name.
OPCAutomation::BrowserPtr newUaBrowser(LinkPtr link);

// What one listing of the browser (a folder's branches or leaves, a flat
// listing, a step down) may take of the server's answers, however many
// references each answer brings: past a bound it fails with an error
// number and gives the server's continuation point back.
struct BrowseLimits {
    size_t references = 1000000;
    qint64 bytes = qint64{128} << 20; // of answers, as received
    qint64 milliseconds = 60000;
    // What the browser keeps of the session's listings, to step down and
    // resolve leaves without asking again: as much as one listing may take.
    size_t keptReferences = 1000000;
    qint64 keptBytes = qint64{256} << 20;
};
BrowseLimits browseLimits();
// For tests: tighter bounds for the browsers made from now on.
void setBrowseLimits(const BrowseLimits &limits);

} // namespace opc::ua
