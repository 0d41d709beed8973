// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace toolkit {

// The wait cursor over every window of the program while a call waits on
// a server. Window thread only; calls from elsewhere change nothing.
void showWaitCursor(bool waiting);

} // namespace toolkit
