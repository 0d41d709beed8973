// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <functional>

namespace opc {

// A question the component puts to the operator before it goes on with
// something only the operator may allow (a password that would travel
// readable by anyone): yes or no. The program installs how it is asked;
// without it the answer is no.
using Confirmation = std::function<bool(const QString &question)>;
void setConfirmation(Confirmation confirmation);
bool confirm(const QString &question);

} // namespace opc
