#pragma once

#include "opc/automation.h"
#include "opc/ua/binary.h"

namespace opc::ua {

// A server object of the OPC UA bridge: nodes "opc.tcp://..." only.
OPCAutomation::ServerPtr newUaServer();

// A server object that sends "opc.tcp://" nodes to the bridge and every
// other node to the local component.
OPCAutomation::ServerPtr newRoutingServer(std::function<OPCAutomation::ServerPtr()> local);

// The conventions of the bridge, shown for tests.
int32_t qualityOf(StatusCode status);
int16_t canonicalTypeOf(const NodeId &dataType, int32_t valueRank);
opc::Value valueOf(const Variant &v);

} // namespace opc::ua
