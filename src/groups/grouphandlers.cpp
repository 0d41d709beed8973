// SPDX-License-Identifier: GPL-3.0-or-later
#include "groups/grouphandlers.h"

#include "groups/form4.h"
#include "groups/ratetext.h"
#include "toolkit/guard.h"

namespace quorivo {

using opc::OpcError;
namespace S = opc::Status;

int16_t position16(int32_t i)
{
    if (i < INT16_MIN || i > INT16_MAX)
        throw OpcError(S::NUMERIC_OVERFLOW);
    return static_cast<int16_t>(i);
}

namespace {
template <typename P>
auto &deref(const P &p)
{
    // Calling through a variable that holds nothing fails like any call.
    if (!p)
        throw OpcError(S::E_FAIL);
    return *p;
}

void listGroups(Form1 &f)
{
    auto &groups = deref(f.ConnectedServerGroups);
    const int32_t n = groups.Count();
    for (int32_t i = 1; i <= n; ++i)
        f.List2->AddItem(groups.Item(position16(i))->Name());
}
} // namespace

OPCAutomation::GroupPtr GroupHandlers::selectedGroup(Form1 &f)
{
    const QString name = f.List2->List(f.List2->ListIndex());
    return deref(f.ConnectedServerGroups).GetOPCGroup(name);
}

void GroupHandlers::listItems(Form1 &f, OPCAutomation::OPCGroup &group, bool reportView)
{
    auto items = group.OPCItems();
    const int32_t n = items->Count();
    f.ListView2->ListItems().Clear();
    for (int32_t i = 1; i <= n; ++i) {
        const int16_t at = position16(i);
        auto item = items->Item(at);
        f.ListView2->ListItems().Add(group.Name() + opc::signedNumberText(at), item->ItemID());
        if (reportView)
            f.ListView2->setView(toolkit::ListView::ReportView);
    }
}

void GroupHandlers::AddOPCGroup_Click(Form1 &f)
{
    try {
        f.ConnectedServerGroups = deref(f.ConnectedOPCServer).OPCGroups();
        f.ConnectedGroup = f.ConnectedServerGroups->Add(f.OPCGroupName->Text());
        f.ConnectedGroup->setUpdateRate(rateFromText(f.GroupUpdateRate->Text()));
        f.ConnectedGroup->setIsSubscribed(true);
        f.setControlEnabled(Ctl::Command2, false);
    } catch (...) {
        f.DisplayOPC_COM_ErrorValue(QStringLiteral("Aggiungi gruppo"), currentErrorNumber());
    }
    // The group list is rebuilt whether or not the group could be made; if
    // even that fails, the handler ends quietly: the failure is reported.
    endSilentlyOnFailure([&] {
        f.List2->Clear();
        listGroups(f);
        f.setControlEnabled(Ctl::Command4, false);
        f.setControlEnabled(Ctl::Command8, false);
    });
}

void GroupHandlers::List2_Click(Form1 &f)
{
    if (f.List2->ListIndex() == -1)
        return;
    endSilentlyOnFailure([&] {
        auto group = selectedGroup(f);
        listItems(f, *group, false);
        f.setControlEnabled(Ctl::Command2, true);
        f.setControlEnabled(Ctl::Command4, true);
        f.setControlEnabled(Ctl::Command8, true);
        const bool hasItems = f.ListView2->ListItems().Count() != 0;
        f.setControlEnabled(Ctl::Command3, hasItems);
        f.setControlEnabled(Ctl::Command7, hasItems);
    });
}

void GroupHandlers::Command4_Click(Form1 &f)
{
    endSilentlyOnFailure([&] {
        auto group = selectedGroup(f);
        const int32_t handle = group->ServerHandle();
        f.ConnectedServerGroups->Remove(handle);
        f.List2->Clear();
        f.ListView2->ListItems().Clear();
        for (Ctl c : {Ctl::Command2, Ctl::Command4, Ctl::Command3, Ctl::Command7, Ctl::Command8})
            f.setControlEnabled(c, false);
        listGroups(f);
    });
}

void GroupHandlers::Command8_Click(Form1 &f)
{
    Form4 *form = Form4::instance();
    try {
        const QString name = f.List2->List(f.List2->ListIndex());
        form->Text1->setText(deref(f.ConnectedServerGroups).GetOPCGroup(name)->Name());
        const QString again = f.List2->List(f.List2->ListIndex());
        form->Text2->setText(QString::number(f.ConnectedServerGroups->GetOPCGroup(again)->UpdateRate()));
        form->Show();
    } catch (...) {
        const int32_t code = currentErrorNumber();
        form->Unload();
        f.DisplayOPC_COM_ErrorValue(QStringLiteral("Group Update Rate"), code);
    }
}

void installGroupHandlers()
{
    Form1::addInstaller([](Form1 &f) {
        using toolkit::connectGuarded;
        connectGuarded(f.AddOPCGroup, &QPushButton::clicked, &f, "AddOPCGroup",
                       [&f] { GroupHandlers::AddOPCGroup_Click(f); });
        connectGuarded(f.List2, &toolkit::ListBox::Click, &f, "List2", [&f] { GroupHandlers::List2_Click(f); });
        connectGuarded(f.Command4, &QPushButton::clicked, &f, "Command4", [&f] { GroupHandlers::Command4_Click(f); });
        connectGuarded(f.Command8, &QPushButton::clicked, &f, "Command8", [&f] { GroupHandlers::Command8_Click(f); });
    });
}

} // namespace quorivo
