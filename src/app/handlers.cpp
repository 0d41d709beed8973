#include "app/handlers.h"

#include "browser/browserhandlers.h"
#include "connection/connectionhandlers.h"
#include "groups/grouphandlers.h"
#include "items/itemhandlers.h"
#include "opc/sim/simserver.h"
#include "toolkit/twips.h"

namespace quorivo {

void installProgram()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    toolkit::installFontSubstitutes();
    opc::sim::installAsDefault();
    installConnectionHandlers();
    installGroupHandlers();
    installBrowserHandlers();
    installItemHandlers();
}

} // namespace quorivo
