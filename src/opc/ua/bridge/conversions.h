// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/value.h"
#include "opc/ua/wire/binary.h"

// How OPC UA data look through the automation interface: status codes as
// OPC qualities, data types as variant types, values both ways.
namespace opc::ua {

int32_t qualityOf(StatusCode status);
int16_t canonicalTypeOf(const NodeId &dataType, int32_t valueRank);
opc::Value valueOf(const Variant &v);
// The built-in type a data type number stands for (Null for none).
BuiltIn builtInOf(uint32_t dataType);
// A value as a scalar of the built-in type; DISP_E_TYPEMISMATCH for a type
// that cannot be written.
Scalar scalarFor(BuiltIn type, const opc::Value &v);
// The OPC error of a write the server refused with this status.
int32_t writeErrorOf(StatusCode status);

} // namespace opc::ua
