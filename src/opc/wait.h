// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>

namespace opc {

// A call that waits on another process (a server over the network) says so
// for as long as it waits, so the program can show that it is waiting and
// not hung. The program installs what showing means; nothing is shown
// without it.
using WaitIndicator = std::function<void(bool waiting)>;
void setWaitIndicator(WaitIndicator indicator);

// Shown from construction to destruction; nested scopes show once.
class WaitScope {
public:
    WaitScope();
    ~WaitScope();
    WaitScope(const WaitScope &) = delete;
    WaitScope &operator=(const WaitScope &) = delete;
};

} // namespace opc
