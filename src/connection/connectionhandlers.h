// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "mainwindow/form1.h"

namespace quorivo {

void installConnectionHandlers();

// Listing servers, connecting, disconnecting and the server properties.
struct ConnectionHandlers {
    static void ListOPCServers_Click(Form1 &f);
    static void OPCServerList_Click(Form1 &f);
    static void OPCServerConnect_Click(Form1 &f);
    static void DisconnectFromServer_Click(Form1 &f);
    static void Command6_Click(Form1 &f);
};

} // namespace quorivo
