// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/ua/wire/services.h"

#include <QDateTime>

namespace opc::ua {

const QString SecurityPolicyNone = QStringLiteral("http://opcfoundation.org/UA/SecurityPolicy#None");

QByteArray encodeRequest(uint32_t typeId, const RequestHeader &header, const std::function<void(Encoder &)> &body)
{
    Encoder e;
    encodeRequest(e, typeId, header, body);
    return e.take();
}

void encodeRequest(Encoder &e, uint32_t typeId, const RequestHeader &header, const std::function<void(Encoder &)> &body)
{
    e.nodeId(NodeId::num(0, typeId));
    e.nodeId(header.authenticationToken);
    e.dateTime(DateTime::fromMSecsSinceEpoch(QDateTime::currentMSecsSinceEpoch()));
    e.uint32(header.requestHandle);
    e.uint32(0); // no diagnostics
    e.string({}); // audit entry
    e.uint32(header.timeoutHint);
    e.extensionObject({});
    if (body)
        body(e);
}

Response decodeResponseStart(Decoder &d)
{
    Response r;
    const NodeId type = d.nodeId();
    if (type.ns != 0 || type.kind != NodeId::Kind::Numeric)
        throw DecodeError("response of an unknown type");
    r.typeId = type.numeric;
    r.header.timestamp = d.dateTime();
    r.header.requestHandle = d.uint32();
    r.header.serviceResult = d.statusCode();
    d.diagnosticInfo();
    d.array([](Decoder &x) { return x.string(); }, 4);
    d.extensionObject();
    if (r.typeId == Id::ServiceFault && r.header.serviceResult.isGood())
        r.header.serviceResult = StatusCode{0x80010000}; // BadUnexpectedError
    return r;
}

void encode(Encoder &e, const ApplicationDescription &v)
{
    e.string(v.applicationUri);
    e.string(v.productUri);
    e.localizedText(v.applicationName);
    e.int32(v.applicationType);
    e.string(v.gatewayServerUri);
    e.string(v.discoveryProfileUri);
    e.array(v.discoveryUrls, [](Encoder &x, const QString &s) { x.string(s); });
}

ApplicationDescription decodeApplicationDescription(Decoder &d)
{
    ApplicationDescription v;
    v.applicationUri = d.string();
    v.productUri = d.string();
    v.applicationName = d.localizedText();
    v.applicationType = d.int32();
    v.gatewayServerUri = d.string();
    v.discoveryProfileUri = d.string();
    v.discoveryUrls = d.array([](Decoder &x) { return x.string(); });
    return v;
}

EndpointDescription decodeEndpointDescription(Decoder &d)
{
    EndpointDescription v;
    v.endpointUrl = d.string();
    v.server = decodeApplicationDescription(d);
    v.serverCertificate = d.byteString();
    v.securityMode = d.int32();
    v.securityPolicyUri = d.string();
    v.userIdentityTokens = d.array([](Decoder &x) {
        UserTokenPolicy p;
        p.policyId = x.string();
        p.tokenType = x.int32();
        p.issuedTokenType = x.string();
        p.issuerEndpointUrl = x.string();
        p.securityPolicyUri = x.string();
        return p;
    });
    v.transportProfileUri = d.string();
    v.securityLevel = d.byte();
    return v;
}

BrowseResult decodeBrowseResult(Decoder &d)
{
    BrowseResult r;
    r.status = d.statusCode();
    r.continuationPoint = d.byteString();
    r.references = d.array([](Decoder &x) {
        ReferenceDescription ref;
        ref.referenceTypeId = x.nodeId();
        ref.isForward = x.boolean();
        ref.nodeId = x.expandedNodeId();
        ref.browseName = x.qualifiedName();
        ref.displayName = x.localizedText();
        ref.nodeClass = x.int32();
        ref.typeDefinition = x.expandedNodeId();
        return ref;
    });
    return r;
}

void encodeBrowse(Encoder &e, uint32_t maxReferencesPerNode, const std::vector<BrowseDescription> &nodes)
{
    e.nodeId({}); // the view: none
    e.dateTime({});
    e.uint32(0);
    e.uint32(maxReferencesPerNode);
    e.array(nodes, [](Encoder &x, const BrowseDescription &b) {
        x.nodeId(b.nodeId);
        x.int32(b.inverse ? 1 : 0);
        x.nodeId(NodeId::num(0, b.referenceTypeId));
        x.boolean(b.includeSubtypes);
        x.uint32(b.nodeClassMask);
        x.uint32(b.resultMask);
    });
}

void encode(Encoder &e, const ReadValueId &v)
{
    e.nodeId(v.nodeId);
    e.uint32(v.attributeId);
    e.string({});
    e.qualifiedName({0, QString()});
}

QByteArray encodeReadList(const std::vector<ReadValueId> &ids)
{
    Encoder e;
    e.array(ids, [](Encoder &x, const ReadValueId &id) { encode(x, id); });
    return e.take();
}

NotificationMessage decodeNotificationMessage(Decoder &d)
{
    NotificationMessage m;
    m.sequenceNumber = d.uint32();
    m.publishTime = d.dateTime();
    const int32_t n = d.arrayLength();
    m.notifications = n;
    for (int32_t i = 0; i < n; ++i) {
        const ExtensionObject x = d.extensionObject();
        if (x.encoding == 1 && x.typeId == NodeId::num(0, Id::StatusChangeNotification)) {
            Decoder body(x.body, d);
            m.statusChanges.push_back(body.statusCode());
            continue;
        }
        if (x.encoding != 1 || x.typeId != NodeId::num(0, Id::DataChangeNotification))
            continue; // events are not shown
        Decoder body(x.body, d);
        auto part = body.array([](Decoder &y) {
            const uint32_t handle = y.uint32();
            return std::make_pair(handle, y.dataValue());
        }, 5);
        body.charge(static_cast<qsizetype>(part.size() * sizeof(part.front())));
        try {
            m.changes.insert(m.changes.end(), std::make_move_iterator(part.begin()), std::make_move_iterator(part.end()));
        } catch (const std::bad_alloc &) {
            throw DecodeError("out of memory");
        }
    }
    return m;
}

} // namespace opc::ua
