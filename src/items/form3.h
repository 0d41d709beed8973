// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "items/itemtable.h"
#include "opc/automation.h"
#include "toolkit/controls.h"
#include "toolkit/formbuilder.h"
#include "toolkit/listview.h"
#include "toolkit/timer.h"
#include "toolkit/window.h"

#include <array>
#include <vector>

namespace quorivo {

toolkit::WindowDesign form3Design();

// What a row shows of an item after its read. An item's ID and canonical
// type do not change while it lives: when the row already shows the same
// item (by server handle), they are taken from the row.
ItemRow itemRowOf(OPCAutomation::OPCItem &item, const ItemRow *shown = nullptr);
// The five texts of an item's row: ItemID, Value, DataType, Quality, TimeStamp.
using RowTexts = std::array<QString, 5>;
RowTexts itemRowTexts(OPCAutomation::OPCItem &item);

// "Proprietà": the items of one group, re-read from the server's cache at
// the group's update rate.
class Form3 final : public toolkit::SingleWindow<Form3> {
    Q_OBJECT
public:
    Form3();

    toolkit::ListView *ListView1;
    toolkit::TextBox *Text2;
    toolkit::CommandButton *Command2;
    toolkit::TextBox *Text1;
    toolkit::CommandButton *Command1;
    toolkit::Timer *Timer1;
    const toolkit::FormBuilder &builder() const { return m_builder; }
    ItemTable *table() const { return m_table; }

    // Rebuilds columns and rows from the group's first n items.
    void fill(OPCAutomation::OPCGroup &group, OPCAutomation::OPCItems &items, int32_t n);

    void Timer1_Timer();
    void ListView1_Click();
    void Command2_Click();

private:
    toolkit::FormBuilder m_builder;
    ItemTable *m_table;
};

} // namespace quorivo
