// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace quorivo {
// Wires every subsystem's handlers to the windows and makes the built-in
// simulation server the default component. Call once, before any window.
void installProgram();
} // namespace quorivo
