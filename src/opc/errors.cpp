// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/errors.h"

#include <array>
#include <utility>

namespace opc {

namespace {
using namespace Status;
constexpr std::array<std::pair<int32_t, const char *>, 34> Names{{
    {S_OK, "S_OK"},
    {NUMERIC_OVERFLOW, "Overflow"},
    {E_FAIL, "E_FAIL"},
    {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
    {E_INVALIDARG, "E_INVALIDARG"},
    {E_ACCESSDENIED, "E_ACCESSDENIED"},
    {CO_E_CLASSSTRING, "CO_E_CLASSSTRING"},
    {RPC_S_SERVER_UNAVAILABLE, "RPC_S_SERVER_UNAVAILABLE"},
    {DISP_E_TYPEMISMATCH, "DISP_E_TYPEMISMATCH"},
    {DISP_E_OVERFLOW, "DISP_E_OVERFLOW"},
    {OPC_E_INVALIDHANDLE, "OPC_E_INVALIDHANDLE"},
    {OPC_E_BADTYPE, "OPC_E_BADTYPE"},
    {OPC_E_PUBLIC, "OPC_E_PUBLIC"},
    {OPC_E_BADRIGHTS, "OPC_E_BADRIGHTS"},
    {OPC_E_UNKNOWNITEMID, "OPC_E_UNKNOWNITEMID"},
    {OPC_E_INVALIDITEMID, "OPC_E_INVALIDITEMID"},
    {OPC_E_RANGE, "OPC_E_RANGE"},
    {OPC_E_DUPLICATENAME, "OPC_E_DUPLICATENAME"},
    {UA_E_NOENDPOINT, "BadSecurityPolicyRejected"},
    {UA_E_CERTUNTRUSTED, "BadCertificateUntrusted"},
    {UA_E_CERTTIMEINVALID, "BadCertificateTimeInvalid"},
    {UA_E_CERTNAMEINVALID, "BadCertificateHostNameInvalid"},
    {UA_E_OWNCERTREFUSED, "BadSecurityChecksFailed"},
    {UA_E_SECURITYCHECK, "BadApplicationSignatureInvalid"},
    {UA_E_CERTISSUERTIME, "BadCertificateIssuerTimeInvalid"},
    {UA_E_CERTREVOCATIONUNKNOWN, "BadCertificateRevocationUnknown"},
    {UA_E_CERTISSUERREVOCATIONUNKNOWN, "BadCertificateIssuerRevocationUnknown"},
    {UA_E_CERTUSE, "BadCertificateUseNotAllowed"},
    {UA_E_CERTISSUERUSE, "BadCertificateIssuerUseNotAllowed"},
    {UA_E_CERTPOLICY, "BadCertificatePolicyCheckFailed"},
    {UA_E_TRANSPORTLIMITS, "BadTcpMessageTooLarge"},
    {UA_E_CLEARPASSWORD, "BadSecurityModeInsufficient"},
    {UA_E_PKIUNSAFE, "BadConfigurationError"},
    {UA_E_TIMEOUT, "BadTimeout"},
}};
} // namespace

QString statusName(int32_t code)
{
    for (const auto &[value, name] : Names)
        if (value == code)
            return QString::fromLatin1(name);
    return {};
}

OpcError::OpcError(int32_t code)
    : std::runtime_error(statusName(code).isEmpty() ? "OPC failure" : statusName(code).toStdString()), m_code(code)
{
}

} // namespace opc
