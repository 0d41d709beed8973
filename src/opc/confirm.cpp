// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/confirm.h"

namespace opc {

namespace {
Confirmation &installed()
{
    static Confirmation current;
    return current;
}
} // namespace

void setConfirmation(Confirmation confirmation) { installed() = std::move(confirmation); }

bool confirm(const QString &question) { return installed() && installed()(question); }

} // namespace opc
