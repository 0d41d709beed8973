// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/ua/security/securechunk.h"
#include "opc/ua/security/securitypolicy.h"
#include "opc/ua/wire/services.h"

#include <QString>
#include <vector>

// Which of a server's endpoints a connect takes. The operator names a
// server by its application URI, alone or followed by the endpoint's
// policy and mode: "urn:plc7:Server (Basic256Sha256, SignAndEncrypt)".
namespace opc::ua {

struct EndpointChoice {
    QString serverUri;
    bool exact = false; // policy and mode named
    Policy policy = Policy::None;
    SecurityMode mode = SecurityMode::None;
};
// Text without a recognised "(policy, mode)" ending is all server URI, but
// for the marks a listing puts after servers it could not reach or that
// another server answered for.
EndpointChoice parseEndpointChoice(const QString &text);
extern const QString UnreachableMark;  // " (non raggiungibile)"
extern const QString OtherServerMark;  // " (risponde un altro server)"
QString endpointChoiceText(const QString &serverUri, Policy policy, SecurityMode mode);

// "Basic256Sha256", "None"...; the short name is the URI's fragment.
QString policyName(Policy policy);
QString modeName(SecurityMode mode);

// The endpoints of this server (any server when empty) that the bridge
// can use, most secure first: every secured endpoint before None, whatever
// level an unsigned list claims; then the server's SecurityLevel, then ours.
std::vector<EndpointDescription> usableEndpoints(const std::vector<EndpointDescription> &all, const QString &serverUri);

// The endpoint a connect takes, or the error number: CO_E_CLASSSTRING when
// no endpoint belongs to that server, UA_E_NOENDPOINT when none of its
// endpoints is usable or the named one is missing.
struct EndpointPick {
    int32_t error = 0;
    EndpointDescription endpoint;
};
EndpointPick pickEndpoint(const std::vector<EndpointDescription> &all, const EndpointChoice &choice);

// Whether the endpoints a server gave in its CreateSession answer, over a
// secured channel, are those its unsigned GetEndpoints answer gave (OPC
// 10000-4 §5.7.2.1): for the binary transport, the same path, policy, mode,
// level, certificate and user token policies, each way round.
bool sameEndpoints(const std::vector<EndpointDescription> &discovered, const std::vector<EndpointDescription> &fromSession,
                   const QString &serverUri);

// The URL to open for an endpoint: the host and port the operator typed,
// the path the endpoint gives (servers often name a host the client cannot
// resolve, or their internal address).
QString endpointUrlFor(const QString &typedUrl, const QString &endpointUrl);

} // namespace opc::ua
