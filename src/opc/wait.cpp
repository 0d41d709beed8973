// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/wait.h"

namespace opc {

namespace {
WaitIndicator &indicator()
{
    static WaitIndicator current;
    return current;
}
// Only the window's thread makes such calls, so no lock.
int depth = 0;
} // namespace

void setWaitIndicator(WaitIndicator value) { indicator() = std::move(value); }

WaitScope::WaitScope()
{
    if (depth++ == 0 && indicator())
        indicator()(true);
}

WaitScope::~WaitScope()
{
    if (--depth == 0 && indicator())
        indicator()(false);
}

} // namespace opc
