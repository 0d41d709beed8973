// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/automation.h"

namespace OPCAutomation {

namespace {
ServerFactory &defaultFactory()
{
    static ServerFactory f;
    return f;
}
ServerFactory &overrideFactory()
{
    static ServerFactory f;
    return f;
}
} // namespace

ServerPtr NewOPCServer()
{
    if (overrideFactory())
        return overrideFactory()();
    if (defaultFactory())
        return defaultFactory()();
    // No component registered: the object cannot be created.
    throw opc::OpcError(opc::Status::CO_E_CLASSSTRING);
}

void SetServerFactory(ServerFactory factory) { overrideFactory() = std::move(factory); }
void SetDefaultServerFactory(ServerFactory factory) { defaultFactory() = std::move(factory); }

} // namespace OPCAutomation
