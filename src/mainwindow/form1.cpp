// SPDX-License-Identifier: GPL-3.0-or-later
#include "mainwindow/form1.h"

#include "toolkit/error.h"
#include "toolkit/guard.h"
#include "toolkit/icon.h"

#include <vector>

namespace quorivo {

namespace {
std::vector<Form1::Installer> &installers()
{
    static std::vector<Form1::Installer> list;
    return list;
}
} // namespace

void Form1::addInstaller(Installer installer) { installers().push_back(std::move(installer)); }

Form1::Form1() : m_builder(this)
{
    m_builder.build(form1Design());
    m_builder.nameForScreenReaders({{"OPCServerList", "Elenco degli OPC Servers"},
                                    {"OPCServerName", "Server OPC"},
                                    {"Text2", "IP Server"},
                                    {"OPCGroupName", "Nome Gruppo"},
                                    {"GroupUpdateRate", "Update Rate (ms)"},
                                    {"TreeView1", "Risorse del server"},
                                    {"ListView1", "Items del ramo"},
                                    {"Text1", "Item ID"},
                                    {"List2", "Elenco Gruppi"},
                                    {"ListView2", "Items del gruppo"}});
    const auto &b = m_builder;
    Frame1 = b.get<toolkit::Frame>(QStringLiteral("Frame1"));
    ListOPCServers = b.get<toolkit::CommandButton>(QStringLiteral("ListOPCServers"));
    OPCServerList = b.get<toolkit::ListBox>(QStringLiteral("OPCServerList"));
    OPCServerName = b.get<toolkit::TextBox>(QStringLiteral("OPCServerName"));
    OPCServerConnect = b.get<toolkit::CommandButton>(QStringLiteral("OPCServerConnect"));
    Label3 = b.get<toolkit::Label>(QStringLiteral("Label3"));
    Text2 = b.get<toolkit::TextBox>(QStringLiteral("Text2"));
    Command6 = b.get<toolkit::CommandButton>(QStringLiteral("Command6"));
    DisconnectFromServer = b.get<toolkit::CommandButton>(QStringLiteral("DisconnectFromServer"));
    Command5 = b.get<toolkit::CommandButton>(QStringLiteral("Command5"));
    r = b.get<toolkit::Frame>(QStringLiteral("r"));
    Label1 = b.get<toolkit::Label>(QStringLiteral("Label1"));
    OPCGroupName = b.get<toolkit::TextBox>(QStringLiteral("OPCGroupName"));
    Label5 = b.get<toolkit::Label>(QStringLiteral("Label5"));
    GroupUpdateRate = b.get<toolkit::TextBox>(QStringLiteral("GroupUpdateRate"));
    AddOPCGroup = b.get<toolkit::CommandButton>(QStringLiteral("AddOPCGroup"));
    Frame2 = b.get<toolkit::Frame>(QStringLiteral("Frame2"));
    Command1 = b.get<toolkit::CommandButton>(QStringLiteral("Command1"));
    TreeView1 = b.get<toolkit::TreeView>(QStringLiteral("TreeView1"));
    ListView1 = b.get<toolkit::ListView>(QStringLiteral("ListView1"));
    Command2 = b.get<toolkit::CommandButton>(QStringLiteral("Command2"));
    Text1 = b.get<toolkit::TextBox>(QStringLiteral("Text1"));
    Label4 = b.get<toolkit::Label>(QStringLiteral("Label4"));
    Label2 = b.get<toolkit::Label>(QStringLiteral("Label2"));
    Frame3 = b.get<toolkit::Frame>(QStringLiteral("Frame3"));
    List2 = b.get<toolkit::ListBox>(QStringLiteral("List2"));
    ListView2 = b.get<toolkit::ListView>(QStringLiteral("ListView2"));
    Command4 = b.get<toolkit::CommandButton>(QStringLiteral("Command4"));
    Command8 = b.get<toolkit::CommandButton>(QStringLiteral("Command8"));
    Command3 = b.get<toolkit::CommandButton>(QStringLiteral("Command3"));
    Command7 = b.get<toolkit::CommandButton>(QStringLiteral("Command7"));

    setWindowIcon(toolkit::programIcon());
    ListView2->ColumnHeaders().Add(QStringLiteral("item"), 1740);
    OPCServerConnect->setFocus();

    // "Esci" and the close box both just unload this window.
    connect(Command5, &QPushButton::clicked, this, [this] { Unload(); });
    toolkit::connectGuarded(Command3, &QPushButton::clicked, this, "Command3", [this] { Command3_Click(); });
    for (const auto &install : installers())
        install(*this);
}

Form1::~Form1() = default;

void Form1::Command3_Click() { emit Command3_ClickCalled(); }

QWidget *Form1::control(Ctl c) const
{
    const std::array<QWidget *, EnableTableWidth> controls{
        OPCServerList, OPCServerName, OPCServerConnect, DisconnectFromServer, Command6, Command1, OPCGroupName,
        GroupUpdateRate, AddOPCGroup, Command2, Command3, Command4, Command7, Command8};
    return controls[static_cast<size_t>(c)];
}

void Form1::setControlEnabled(Ctl c, bool enabled) { control(c)->setEnabled(enabled); }
bool Form1::controlEnabled(Ctl c) const { return control(c)->isEnabled(); }

QString Form1::enableRow() const
{
    QString row;
    for (int i = 0; i < EnableTableWidth; ++i)
        row += controlEnabled(static_cast<Ctl>(i)) ? QLatin1Char('E') : QLatin1Char('D');
    return row;
}

// Depth first: every node after its descendants, siblings first to last.
void Form1::RemoveChildren(const toolkit::Node &Node, bool Root)
{
    const int children = Node.Children();
    if (children == 0) {
        TreeView1->Nodes().Remove(Node.Key());
        return;
    }
    for (int i = 0; i < children; ++i)
        RemoveChildren(Node.Child().value(), false);
    if (!Root)
        TreeView1->Nodes().Remove(Node.Key());
}

int32_t currentErrorNumber() noexcept
{
    try {
        throw;
    } catch (const opc::OpcError &e) {
        return e.code();
    } catch (const toolkit::WidgetError &e) {
        return e.number();
    } catch (...) {
        return opc::Status::E_FAIL;
    }
}

} // namespace quorivo
