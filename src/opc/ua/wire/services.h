// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The OPC UA services the bridge uses, as plain structures with their
// binary encoding. Each request is written with its encoding id; each
// response is read after the caller has checked the id.

#include "opc/ua/wire/binary.h"

namespace opc::ua {

namespace Id {
// Binary encoding ids of the messages.
constexpr uint32_t ServiceFault = 397;
constexpr uint32_t FindServersRequest = 422, FindServersResponse = 425;
constexpr uint32_t GetEndpointsRequest = 428, GetEndpointsResponse = 431;
constexpr uint32_t OpenSecureChannelRequest = 446, OpenSecureChannelResponse = 449;
constexpr uint32_t CloseSecureChannelRequest = 452;
constexpr uint32_t CreateSessionRequest = 461, CreateSessionResponse = 464;
constexpr uint32_t ActivateSessionRequest = 467, ActivateSessionResponse = 470;
constexpr uint32_t CloseSessionRequest = 473, CloseSessionResponse = 476;
constexpr uint32_t BrowseRequest = 527, BrowseResponse = 530;
constexpr uint32_t BrowseNextRequest = 533, BrowseNextResponse = 536;
constexpr uint32_t ReadRequest = 631, ReadResponse = 634;
constexpr uint32_t WriteRequest = 673, WriteResponse = 676;
constexpr uint32_t CreateMonitoredItemsRequest = 751, CreateMonitoredItemsResponse = 754;
constexpr uint32_t DeleteMonitoredItemsRequest = 781, DeleteMonitoredItemsResponse = 784;
constexpr uint32_t CreateSubscriptionRequest = 787, CreateSubscriptionResponse = 790;
constexpr uint32_t ModifySubscriptionRequest = 793, ModifySubscriptionResponse = 796;
constexpr uint32_t PublishRequest = 826, PublishResponse = 829;
constexpr uint32_t RepublishRequest = 832, RepublishResponse = 835;
constexpr uint32_t DeleteSubscriptionsRequest = 847, DeleteSubscriptionsResponse = 850;
constexpr uint32_t AnonymousIdentityToken = 321, UserNameIdentityToken = 324;
constexpr uint32_t DataChangeNotification = 811, StatusChangeNotification = 820;
// Nodes and references.
constexpr uint32_t ObjectsFolder = 85, HierarchicalReferences = 33, HasSubtype = 45;
constexpr uint32_t ServerStatus = 2256, NamespaceArray = 2255, ServerStatus_CurrentTime = 2258;
// Server_ServerCapabilities_OperationLimits_*, OPC 10000-5 §6.3.11.
constexpr uint32_t MaxNodesPerRead = 11705, MaxNodesPerBrowse = 11710, MaxMonitoredItemsPerCall = 11714;
} // namespace Id

namespace Attr {
constexpr uint32_t NodeClass = 2, BrowseName = 3, DisplayName = 4, Value = 13, DataType = 14, ValueRank = 15,
                   AccessLevel = 17;
}

namespace Status {
constexpr uint32_t BadTimeout = 0x800A0000, BadNodeIdUnknown = 0x80340000, BadNodeIdInvalid = 0x80330000,
                   BadTypeMismatch = 0x80740000, BadNotWritable = 0x803B0000, BadNotReadable = 0x803A0000, BadUserAccessDenied = 0x801F0000,
                   BadOutOfRange = 0x803C0000, BadIdentityTokenRejected = 0x80210000,
                   BadIdentityTokenInvalid = 0x80200000,
                   BadSessionIdInvalid = 0x80250000, BadSessionClosed = 0x80260000,
                   BadSessionNotActivated = 0x80270000,
                   BadNoSubscription = 0x80790000, BadSequenceNumberUnknown = 0x807A0000,
                   BadMessageNotAvailable = 0x807B0000, BadWaitingForInitialData = 0x80320000,
                   BadNoCommunication = 0x80310000, BadTooManyOperations = 0x80100000,
                   BadNoContinuationPoints = 0x804B0000, BadSubscriptionIdInvalid = 0x80280000,
                   GoodSubscriptionTransferred = 0x002D0000, BadCertificateInvalid = 0x80120000,
                   BadSecurityChecksFailed = 0x80130000, BadCertificateUriInvalid = 0x80170000,
                   BadCertificateUseNotAllowed = 0x80180000, BadCertificateUntrusted = 0x801A0000,
                   BadCertificateRevoked = 0x801D0000;
}

extern const QString SecurityPolicyNone;

// A status by which a server refuses our certificate (on the channel or
// the session).
constexpr bool refusesOurCertificate(uint32_t code)
{
    code &= 0xFFFF0000u;
    return code == Status::BadSecurityChecksFailed || code == Status::BadCertificateUntrusted ||
           code == Status::BadCertificateInvalid || code == Status::BadCertificateUriInvalid ||
           code == Status::BadCertificateUseNotAllowed || code == Status::BadCertificateRevoked;
}

struct RequestHeader {
    NodeId authenticationToken;
    uint32_t requestHandle = 0;
    uint32_t timeoutHint = 0;
};

struct ResponseHeader {
    DateTime timestamp;
    uint32_t requestHandle = 0;
    StatusCode serviceResult;
};

// A request: its encoding id, header and body, ready for the channel.
QByteArray encodeRequest(uint32_t typeId, const RequestHeader &header, const std::function<void(Encoder &)> &body);
void encodeRequest(Encoder &e, uint32_t typeId, const RequestHeader &header, const std::function<void(Encoder &)> &body);
// Reads a response's encoding id and header; a ServiceFault or a bad
// service result comes back as the header's status.
struct Response {
    uint32_t typeId = 0;
    ResponseHeader header;
};
Response decodeResponseStart(Decoder &d);

struct ApplicationDescription {
    QString applicationUri;
    QString productUri;
    LocalizedText applicationName;
    int32_t applicationType = 0; // 0 server, 1 client, 2 both, 3 discovery server
    QString gatewayServerUri;
    QString discoveryProfileUri;
    std::vector<QString> discoveryUrls;
};
void encode(Encoder &e, const ApplicationDescription &v);
ApplicationDescription decodeApplicationDescription(Decoder &d);

struct UserTokenPolicy {
    QString policyId;
    int32_t tokenType = 0; // 0 anonymous, 1 user name, 2 certificate, 3 issued
    QString issuedTokenType;
    QString issuerEndpointUrl;
    QString securityPolicyUri;
};

struct EndpointDescription {
    QString endpointUrl;
    ApplicationDescription server;
    ByteString serverCertificate;
    int32_t securityMode = 1; // 1 none, 2 sign, 3 sign and encrypt
    QString securityPolicyUri;
    std::vector<UserTokenPolicy> userIdentityTokens;
    QString transportProfileUri;
    uint8_t securityLevel = 0;
};
EndpointDescription decodeEndpointDescription(Decoder &d);

struct ReferenceDescription {
    NodeId referenceTypeId;
    bool isForward = true;
    ExpandedNodeId nodeId;
    QualifiedName browseName;
    LocalizedText displayName;
    int32_t nodeClass = 0; // 1 object, 2 variable, 4 method, 8 object type...
    ExpandedNodeId typeDefinition;
};

struct BrowseResult {
    StatusCode status;
    ByteString continuationPoint;
    std::vector<ReferenceDescription> references;
};
BrowseResult decodeBrowseResult(Decoder &d);

// What one node of a Browse request asks for.
struct BrowseDescription {
    NodeId nodeId;
    bool inverse = false;
    uint32_t referenceTypeId = Id::HierarchicalReferences;
    bool includeSubtypes = true;
    uint32_t nodeClassMask = 1 | 2; // objects and variables
    uint32_t resultMask = 0x3F;     // every field of the references
};
// The body of a Browse request in the default view.
void encodeBrowse(Encoder &e, uint32_t maxReferencesPerNode, const std::vector<BrowseDescription> &nodes);

struct ReadValueId {
    NodeId nodeId;
    uint32_t attributeId = Attr::Value;
};
void encode(Encoder &e, const ReadValueId &v);
// A read list as a Read request carries it (the count, then each node),
// encoded once when the list is made, for every read of it.
QByteArray encodeReadList(const std::vector<ReadValueId> &ids);

struct MonitoredItemResult {
    StatusCode status;
    uint32_t monitoredItemId = 0;
    double revisedSamplingInterval = 0;
};

struct NotificationMessage {
    uint32_t sequenceNumber = 0;
    DateTime publishTime;
    // How many notifications it carries: none in a keep-alive, which holds
    // the next sequence number without using it up.
    int32_t notifications = 0;
    // (client handle, value) of every data change in the message.
    std::vector<std::pair<uint32_t, DataValue>> changes;
    // The subscription's own status, when the server says it has changed
    // (OPC 10000-4 §7.25.4): it ended, or went to another session.
    std::vector<StatusCode> statusChanges;
};
NotificationMessage decodeNotificationMessage(Decoder &d);

} // namespace opc::ua
