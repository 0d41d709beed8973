// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "mainwindow/form1.h"

namespace quorivo {

void installItemHandlers();

// Adding and removing items, and filling the item properties window.
struct ItemHandlers {
    static void Command2_Click(Form1 &f);
    static void Command7_Click(Form1 &f);
    static void Command3_Click(Form1 &f);
};

} // namespace quorivo
