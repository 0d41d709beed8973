// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/automation.h"

#include <QLocale>

namespace opc::sim {

constexpr auto ProgId = "Quorivo.Simulation.1";

// A new client object of the built-in simulation server.
OPCAutomation::ServerPtr newSimulationServer();

// Whether a node name stands for this machine (empty, localhost, its
// loopback addresses or its host name): the simulation's node.
bool isLocalNode(const QString &node);

// Objects of the simulation alive right now (servers, groups, items, browsers).
int liveObjects();

// The locale the server converts written texts with; the user's by default.
void setServerLocale(const QLocale &locale);

} // namespace opc::sim
