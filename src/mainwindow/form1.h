// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/automation.h"
#include "toolkit/controls.h"
#include "toolkit/formbuilder.h"
#include "toolkit/listview.h"
#include "toolkit/treeview.h"
#include "toolkit/window.h"

#include <array>
#include <functional>

namespace quorivo {

// The fourteen controls whose enabled state the handlers change.
enum class Ctl {
    OPCServerList,
    OPCServerName,
    OPCServerConnect,
    DisconnectFromServer,
    Command6,
    Command1,
    OPCGroupName,
    GroupUpdateRate,
    AddOPCGroup,
    Command2,
    Command3,
    Command4,
    Command7,
    Command8,
};
constexpr int EnableTableWidth = 14;

toolkit::WindowDesign form1Design();

// The main window: owner of the connection and of every automation object in use.
class Form1 final : public toolkit::SingleWindow<Form1> {
    Q_OBJECT
public:
    Form1();
    ~Form1() override;

    // Connection area
    toolkit::Frame *Frame1;
    toolkit::CommandButton *ListOPCServers;
    toolkit::ListBox *OPCServerList;
    toolkit::TextBox *OPCServerName;
    toolkit::CommandButton *OPCServerConnect;
    toolkit::Label *Label3;
    toolkit::TextBox *Text2;
    toolkit::CommandButton *Command6;
    toolkit::CommandButton *DisconnectFromServer;
    toolkit::CommandButton *Command5;
    // Group creation area
    toolkit::Frame *r;
    toolkit::Label *Label1;
    toolkit::TextBox *OPCGroupName;
    toolkit::Label *Label5;
    toolkit::TextBox *GroupUpdateRate;
    toolkit::CommandButton *AddOPCGroup;
    // Browse area
    toolkit::Frame *Frame2;
    toolkit::CommandButton *Command1;
    toolkit::TreeView *TreeView1;
    toolkit::ListView *ListView1;
    toolkit::CommandButton *Command2;
    toolkit::TextBox *Text1;
    // Groups and items area
    toolkit::Label *Label4;
    toolkit::Label *Label2;
    toolkit::Frame *Frame3;
    toolkit::ListBox *List2;
    toolkit::ListView *ListView2;
    toolkit::CommandButton *Command4;
    toolkit::CommandButton *Command8;
    toolkit::CommandButton *Command3;
    toolkit::CommandButton *Command7;

    // Shared with the other windows.
    OPCAutomation::GroupsPtr ConnectedServerGroups;
    OPCAutomation::GroupPtr Grp1;

    void DisplayOPC_COM_ErrorValue(const QString &OPC_Function, int32_t ErrorCode);
    void RemoveChildren(const toolkit::Node &Node, bool Root);
    void Command3_Click();

    // The only way the handlers change the fourteen controls' enabled state.
    void setControlEnabled(Ctl control, bool enabled);
    bool controlEnabled(Ctl control) const;
    QString enableRow() const; // "E"/"D" per control, in the order of Ctl
    QWidget *control(Ctl control) const;

    const toolkit::FormBuilder &builder() const { return m_builder; }

    // Each subsystem wires its handlers to the window when it is created.
    using Installer = std::function<void(Form1 &)>;
    static void addInstaller(Installer installer);

signals:
    // The public Command3_Click was called (by the button or another
    // window); the items subsystem does its work.
    void Command3_ClickCalled();

private:
    friend struct ConnectionHandlers;
    friend struct GroupHandlers;
    friend struct BrowserHandlers;
    friend struct ItemHandlers;
    friend class Form1Probe; // tests

    OPCAutomation::ServerPtr AnOPCServer;
    OPCAutomation::ServerPtr ConnectedOPCServer;
    OPCAutomation::GroupPtr ConnectedGroup;

    // Address-space browser
    OPCAutomation::BrowserPtr ConnectedServerBrowser;
    QString BrowseRootName;
    int16_t EmptyNodeCounter = 0;
    QString m_leafListKey;     // the node whose leaves ListView1 shows
    bool m_itemsColumn = false; // ListView1 has its "Items" column

    toolkit::FormBuilder m_builder;
};

// Runs the steps of a handler that ends silently at its failing step:
// steps done before it stay done, nothing is shown, nothing is retried.
template <typename Steps>
void endSilentlyOnFailure(Steps &&steps) noexcept
{
    try {
        steps();
    } catch (...) {
    }
}

// The error number of the exception being handled: the status of an OPC
// failure, a widget error's number, or E_FAIL for anything else.
int32_t currentErrorNumber() noexcept;

} // namespace quorivo
