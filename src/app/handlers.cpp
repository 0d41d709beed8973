// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/handlers.h"

#include "app/routingserver.h"

#include "browser/browserhandlers.h"
#include "connection/connectionhandlers.h"
#include "groups/grouphandlers.h"
#include "items/itemhandlers.h"
#include "opc/sim/simserver.h"
#include "opc/wait.h"
#include "toolkit/twips.h"
#include "toolkit/waitcursor.h"

#include <QApplication>

namespace quorivo {

void installProgram()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    toolkit::installFontSubstitutes();
    // The windows' default font: a small sans serif in the metrics of the
    // classic dialog font, so the designed label widths hold their texts.
    QApplication::setFont(toolkit::makeFont({QStringLiteral("Arial"), 8.25, 400}, QApplication::font()));
    // "opc.tcp://" nodes reach OPC UA servers through the bridge; every
    // other node the built-in simulation server.
    OPCAutomation::SetDefaultServerFactory([] { return newRoutingServer(&opc::sim::newSimulationServer); });
    // A call to a network server blocks the window until it answers: the
    // operator sees that the program waits.
    opc::setWaitIndicator(&toolkit::showWaitCursor);
    installConnectionHandlers();
    installGroupHandlers();
    installBrowserHandlers();
    installItemHandlers();
}

} // namespace quorivo
