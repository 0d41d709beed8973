// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "mainwindow/form1.h"

namespace quorivo {

void installGroupHandlers();

// Adding, selecting and removing groups, and opening the rate window.
struct GroupHandlers {
    static void AddOPCGroup_Click(Form1 &f);
    static void List2_Click(Form1 &f);
    static void Command4_Click(Form1 &f);
    static void Command8_Click(Form1 &f);

    // The selected group, looked up again by the text of its List2 row.
    static OPCAutomation::GroupPtr selectedGroup(Form1 &f);
    // Refills ListView2 with the group's items, keyed "<name> <i>".
    static void listItems(Form1 &f, OPCAutomation::OPCGroup &group, bool reportView);
};

// The 1-based positions of a collection walked with a 16-bit counter: past
// 32767 the counter overflows.
int16_t position16(int32_t i);

} // namespace quorivo
