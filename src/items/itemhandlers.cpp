// SPDX-License-Identifier: GPL-3.0-or-later
#include "items/itemhandlers.h"

#include "groups/grouphandlers.h"
#include "items/form3.h"
#include "toolkit/guard.h"

namespace quorivo {

using opc::OpcError;
namespace S = opc::Status;

void ItemHandlers::Command2_Click(Form1 &f)
{
    endSilentlyOnFailure([&] {
        auto group = GroupHandlers::selectedGroup(f);
        const QString itemId = f.Text1->Text();
        const int32_t clientHandle = group->ClientHandle();
        group->OPCItems()->AddItem(itemId, clientHandle);
        GroupHandlers::listItems(f, *group, true);
        f.setControlEnabled(Ctl::Command3, true);
        f.setControlEnabled(Ctl::Command7, true);
    });
}

void ItemHandlers::Command7_Click(Form1 &f)
{
    endSilentlyOnFailure([&] {
        auto group = GroupHandlers::selectedGroup(f);
        auto items = group->OPCItems();
        const auto selected = f.ListView2->SelectedItem();
        if (!selected)
            return;
        // The row's position alone names the item.
        auto item = items->Item(position16(selected->Index()));
        OPCAutomation::HandleArray serverHandles{1, {item->ServerHandle()}};
        OPCAutomation::HandleArray errors{1, {}};
        items->Remove(1, serverHandles, errors);
        GroupHandlers::listItems(f, *group, true);
        f.setControlEnabled(Ctl::Command3, true);
    });
}

void ItemHandlers::Command3_Click(Form1 &f)
{
    const bool wasOpen = Form3::existing() != nullptr;
    Form3 *form = nullptr;
    try {
        f.Grp1 = GroupHandlers::selectedGroup(f);
        auto items = f.Grp1->OPCItems();
        const int32_t n = items->Count();
        form = Form3::instance();
        form->fill(*f.Grp1, *items, n);
        form->Show();
    } catch (...) {
        // A window made only for this fill goes again: no hidden window ticks on.
        if (form && !wasOpen)
            form->Unload();
    }
}

void installItemHandlers()
{
    Form1::addInstaller([](Form1 &f) {
        using toolkit::connectGuarded;
        connectGuarded(&f, &Form1::Command3_ClickCalled, &f, "Command3_Click", [&f] { ItemHandlers::Command3_Click(f); });
        connectGuarded(f.Command2, &QPushButton::clicked, &f, "Command2", [&f] { ItemHandlers::Command2_Click(f); });
        connectGuarded(f.Command7, &QPushButton::clicked, &f, "Command7", [&f] { ItemHandlers::Command7_Click(f); });
    });
}

} // namespace quorivo
