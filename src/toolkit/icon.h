// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QIcon>

namespace toolkit {
// The program's own icon, 16 and 32 pixels.
QIcon programIcon();
} // namespace toolkit
