// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <cstdint>
#include <stdexcept>

namespace opc {

// Status codes as the automation interface hands them over: 32-bit, taken as
// signed, so failures with the top bit set are negative.
constexpr int32_t status(uint32_t code) { return static_cast<int32_t>(code); }

namespace Status {
constexpr int32_t S_OK = 0;
constexpr int32_t NUMERIC_OVERFLOW = 6; // the program's own conversion failure
constexpr int32_t E_FAIL = status(0x80004005);
constexpr int32_t E_OUTOFMEMORY = status(0x8007000E);
constexpr int32_t E_INVALIDARG = status(0x80070057);
constexpr int32_t E_ACCESSDENIED = status(0x80070005);
constexpr int32_t CO_E_CLASSSTRING = status(0x800401F3);
constexpr int32_t RPC_S_SERVER_UNAVAILABLE = status(0x800706BA);
constexpr int32_t DISP_E_TYPEMISMATCH = status(0x80020005);
constexpr int32_t DISP_E_OVERFLOW = status(0x8002000A);
constexpr int32_t OPC_E_INVALIDHANDLE = status(0xC0040001);
constexpr int32_t OPC_E_BADTYPE = status(0xC0040004);
constexpr int32_t OPC_E_PUBLIC = status(0xC0040005);
constexpr int32_t OPC_E_BADRIGHTS = status(0xC0040006);
constexpr int32_t OPC_E_UNKNOWNITEMID = status(0xC0040007);
constexpr int32_t OPC_E_INVALIDITEMID = status(0xC0040008);
constexpr int32_t OPC_E_RANGE = status(0xC004000B);
constexpr int32_t OPC_E_DUPLICATENAME = status(0xC004000C);
// Secured OPC UA connects: the OPC UA status codes of the same meaning, so an
// engineer finds them in the server's own log.
constexpr int32_t UA_E_NOENDPOINT = status(0x80550000);          // BadSecurityPolicyRejected
constexpr int32_t UA_E_CERTUNTRUSTED = status(0x801A0000);       // BadCertificateUntrusted
constexpr int32_t UA_E_CERTTIMEINVALID = status(0x80140000);     // BadCertificateTimeInvalid
constexpr int32_t UA_E_CERTNAMEINVALID = status(0x80160000);     // BadCertificateHostNameInvalid
constexpr int32_t UA_E_OWNCERTREFUSED = status(0x80130000);      // BadSecurityChecksFailed
constexpr int32_t UA_E_SECURITYCHECK = status(0x80580000);       // BadApplicationSignatureInvalid
constexpr int32_t UA_E_CERTISSUERTIME = status(0x80150000);      // BadCertificateIssuerTimeInvalid
constexpr int32_t UA_E_CERTREVOCATIONUNKNOWN = status(0x801B0000); // BadCertificateRevocationUnknown
constexpr int32_t UA_E_CERTISSUERREVOCATIONUNKNOWN = status(0x801C0000); // BadCertificateIssuerRevocationUnknown
constexpr int32_t UA_E_CERTUSE = status(0x80180000);             // BadCertificateUseNotAllowed
constexpr int32_t UA_E_CERTISSUERUSE = status(0x80190000);       // BadCertificateIssuerUseNotAllowed
constexpr int32_t UA_E_CERTPOLICY = status(0x81140000);          // BadCertificatePolicyCheckFailed
constexpr int32_t UA_E_TRANSPORTLIMITS = status(0x80800000);     // BadTcpMessageTooLarge
constexpr int32_t UA_E_CLEARPASSWORD = status(0x80E60000);       // BadSecurityModeInsufficient
constexpr int32_t UA_E_PKIUNSAFE = status(0x80890000);           // BadConfigurationError
constexpr int32_t UA_E_TIMEOUT = status(0x800A0000);             // BadTimeout
} // namespace Status

// The name of a known code ("OPC_E_DUPLICATENAME"), or empty.
QString statusName(int32_t code);

// Every failed call into the component throws this.
class OpcError : public std::runtime_error {
public:
    explicit OpcError(int32_t code);
    int32_t code() const { return m_code; }

private:
    int32_t m_code;
};

} // namespace opc
