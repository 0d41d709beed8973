// SPDX-License-Identifier: GPL-3.0-or-later
#include "connection/connectionhandlers.h"

#include "connection/certificatewindow.h"
#include "connection/form2.h"
#include "opc/confirm.h"
#include "toolkit/guard.h"

namespace quorivo {

using OPCAutomation::NewOPCServer;
using opc::OpcError;
namespace S = opc::Status;

void ConnectionHandlers::ListOPCServers_Click(Form1 &f)
{
    try {
        f.AnOPCServer = NewOPCServer();
        f.OPCServerList->Clear();
        const opc::Value servers = f.AnOPCServer->GetOPCServers(f.Text2->Text());
        if (!servers.isArray())
            throw OpcError(S::DISP_E_TYPEMISMATCH);
        const auto &elements = servers.elements();
        for (int64_t i = servers.lowerBound(); i <= servers.upperBound(); ++i) {
            // The list position is a 16-bit counter.
            if (i < INT16_MIN || i > INT16_MAX)
                throw OpcError(S::NUMERIC_OVERFLOW);
            f.OPCServerList->AddItem(opc::valueToText(elements[static_cast<size_t>(i - servers.lowerBound())]));
        }
        f.AnOPCServer.reset();
    } catch (...) {
        const int32_t code = currentErrorNumber();
        f.DisplayOPC_COM_ErrorValue(QStringLiteral("OPC Server List"), code);
        f.AnOPCServer.reset();
    }
}

void ConnectionHandlers::OPCServerList_Click(Form1 &f)
{
    f.OPCServerName->setText(f.OPCServerList->List(f.OPCServerList->ListIndex()));
    f.setControlEnabled(Ctl::OPCServerConnect, true);
}

void ConnectionHandlers::OPCServerConnect_Click(Form1 &f)
{
    try {
        f.ConnectedOPCServer = NewOPCServer();
        const QString progId = f.OPCServerName->Text();
        const QString node = f.Text2->Text();
        f.ConnectedOPCServer->Connect(progId, node);
        f.setControlEnabled(Ctl::DisconnectFromServer, true);
        f.setControlEnabled(Ctl::OPCServerConnect, false);
        f.setControlEnabled(Ctl::OPCServerList, false);
        f.setControlEnabled(Ctl::OPCServerName, false);
        f.setControlEnabled(Ctl::OPCGroupName, true);
        f.setControlEnabled(Ctl::GroupUpdateRate, true);
        f.setControlEnabled(Ctl::AddOPCGroup, true);
        f.setWindowTitle(QStringLiteral("Server Connesso"));
        f.setControlEnabled(Ctl::Command6, true);
        f.setControlEnabled(Ctl::Command1, true);
    } catch (...) {
        const int32_t code = currentErrorNumber();
        f.setControlEnabled(Ctl::DisconnectFromServer, false);
        f.ConnectedOPCServer.reset();
        f.DisplayOPC_COM_ErrorValue(QStringLiteral("Connetti"), code);
        // A server certificate refused: the operator decides, then connects again.
        if (const auto refused = opc::takeRefusedCertificate())
            showRefusedCertificate(*refused);
    }
}

void ConnectionHandlers::DisconnectFromServer_Click(Form1 &f)
{
    try {
        if (f.ConnectedOPCServer) {
            f.ConnectedOPCServer->Disconnect();
            f.ConnectedOPCServer.reset();
        }
        f.setControlEnabled(Ctl::OPCServerName, true);
        f.setControlEnabled(Ctl::OPCServerList, true);
        f.OPCServerName->setText({});
        f.Text2->setText({});
        f.ListView2->ListItems().Clear();
        f.List2->Clear();
        for (Ctl c : {Ctl::AddOPCGroup, Ctl::OPCGroupName, Ctl::GroupUpdateRate, Ctl::Command1, Ctl::Command2,
                      Ctl::Command3, Ctl::Command4, Ctl::Command6, Ctl::Command7, Ctl::Command8})
            f.setControlEnabled(c, false);
        f.Text1->setText({});
        f.setWindowTitle(QStringLiteral("Disconnesso"));
        f.TreeView1->Nodes().Clear();
        f.ListView1->ListItems().Clear();
    } catch (...) {
        f.DisplayOPC_COM_ErrorValue(QStringLiteral("Disconnetti"), currentErrorNumber());
    }
}

void ConnectionHandlers::Command6_Click(Form1 &f)
{
    Form2 *form = Form2::instance();
    form->Show();
    try {
        form->fill(f.ConnectedOPCServer);
    } catch (...) {
        // The values read so far stay on show.
        f.DisplayOPC_COM_ErrorValue(QStringLiteral("Proprietà"), currentErrorNumber());
    }
}

void installConnectionHandlers()
{
    opc::setConfirmation(&askOperator);
    Form1::addInstaller([](Form1 &f) {
        using toolkit::connectGuarded;
        connectGuarded(f.ListOPCServers, &QPushButton::clicked, &f, "ListOPCServers",
                       [&f] { ConnectionHandlers::ListOPCServers_Click(f); });
        connectGuarded(f.OPCServerList, &toolkit::ListBox::Click, &f, "OPCServerList",
                       [&f] { ConnectionHandlers::OPCServerList_Click(f); });
        connectGuarded(f.OPCServerConnect, &QPushButton::clicked, &f, "OPCServerConnect",
                       [&f] { ConnectionHandlers::OPCServerConnect_Click(f); });
        connectGuarded(f.DisconnectFromServer, &QPushButton::clicked, &f, "DisconnectFromServer",
                       [&f] { ConnectionHandlers::DisconnectFromServer_Click(f); });
        connectGuarded(f.Command6, &QPushButton::clicked, &f, "Command6",
                       [&f] { ConnectionHandlers::Command6_Click(f); });
    });
}

} // namespace quorivo
