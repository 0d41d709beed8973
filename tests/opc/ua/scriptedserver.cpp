// SPDX-License-Identifier: GPL-3.0-or-later
#include "scriptedserver.h"

#include <QDateTime>
#include <sys/socket.h>

using namespace opc::ua;

namespace {
constexpr uint32_t Good = 0;
constexpr uint32_t BadServiceUnsupported = 0x800B0000, BadSessionIdInvalid = 0x80250000, BadSessionClosed = 0x80260000,
                   BadSubscriptionIdInvalid = 0x80280000, BadMessageNotAvailable = 0x807B0000,
                   BadUserAccessDenied = 0x801F0000, BadNodeIdUnknown = 0x80340000, BadContinuationPointInvalid = 0x804A0000;
constexpr uint32_t ServerStatusEncoding = 864, BuildInfoTypeId = 338;

DateTime now() { return DateTime::fromMSecsSinceEpoch(QDateTime::currentMSecsSinceEpoch()); }

void readRequestHeader(Decoder &d, uint32_t &token, uint32_t &handle)
{
    const NodeId auth = d.nodeId();
    token = auth.ns == 1 && auth.kind == NodeId::Kind::Numeric ? auth.numeric : 0;
    d.dateTime();
    handle = d.uint32();
    d.uint32();
    d.string();
    d.uint32();
    d.extensionObject();
}

void encodeApplication(Encoder &e, const QString &uri)
{
    ApplicationDescription me;
    me.applicationUri = uri;
    me.productUri = me.applicationUri;
    me.applicationName = {QString(), QStringLiteral("Scripted")};
    me.applicationType = 0;
    encode(e, me);
}

struct PlantNode {
    QString id, name;
    int32_t nodeClass;
};

// The children of a node of the small plant; nothing for a node outside
// it, and Bad for one of it that is not (or no longer) there.
std::optional<std::vector<PlantNode>> plantChildren(const QString &node, const ScriptedServer::Script &script, bool &unknown)
{
    unknown = false;
    if (!script.plant || !node.startsWith(QLatin1String("Plant")))
        return std::nullopt;
    const QString line = script.lineNodeId;
    if (node == QLatin1String("Plant"))
        return std::vector<PlantNode>{{"Plant.Area1", "Area1", 1}, {"Plant.Area2", "Area2", 1}};
    if (node == QLatin1String("Plant.Area1"))
        return std::vector<PlantNode>{{line, script.lineName, 1},
                                      {"Plant.Area1.T1", "T1", 2},
                                      {"Plant.Area1.T2", "T2", 2},
                                      {"Plant.Area1.Motor", "Motor", 2}};
    if (node == line)
        return std::vector<PlantNode>{{line + ".Speed", "Speed", 2}, {line + ".Load", "Load", 2}};
    if (node == QLatin1String("Plant.Area1.Motor"))
        return std::vector<PlantNode>{{"Plant.Area1.Motor.Current", "Current", 2}, {"Plant.Area1.Motor.Torque", "Torque", 2}};
    if (node == QLatin1String("Plant.Area2") || node.startsWith(line + QLatin1Char('.')) ||
        node.startsWith(QLatin1String("Plant.Area1.T")) || node.startsWith(QLatin1String("Plant.Area1.Motor.")))
        return std::vector<PlantNode>{};
    unknown = true;
    return std::vector<PlantNode>{};
}

// One reference of a browse answer: a variable (class 2) or a folder (1).
void encodeReference(Encoder &e, const QString &id, const QString &name, int32_t nodeClass)
{
    e.nodeId(NodeId::num(0, 35)); // Organizes
    e.boolean(true);
    e.expandedNodeId({NodeId::str(1, id), {}, 0});
    e.qualifiedName({1, name});
    e.localizedText({QString(), name});
    e.int32(nodeClass);
    e.expandedNodeId({NodeId::num(0, nodeClass == 1 ? 61 : 63), {}, 0});
}
} // namespace

// One TCP connection: its chunks' numbers, and the session it serves.
struct ScriptedServer::Connection {
    QTcpSocket *socket = nullptr;
    uint32_t sequence = 0;
    int publishesSent = 0;
    int itemCalls = 0;
    bool gone = false;
};

ScriptedServer::ScriptedServer() : ScriptedServer(Script{}) {}

ScriptedServer::ScriptedServer(const Script &script) : m_script(script)
{
    m_clock.start();
    listen([this](QTcpSocket *socket) { serve(socket); });
    onServerThread([this] {
        m_ticker = new QTimer;
        QObject::connect(m_ticker, &QTimer::timeout, m_ticker, [this] { tick(); });
        m_ticker->start(10);
    });
}

ScriptedServer::~ScriptedServer()
{
    onServerThread([this] {
        delete m_ticker;
        for (Connection *c : m_connections)
            delete c;
        m_connections.clear();
    });
    stop();
}

void ScriptedServer::set(const std::function<void(Script &)> &change)
{
    onServerThread([this, &change] { change(m_script); });
}

ScriptedServer::Counts ScriptedServer::counts()
{
    Counts out;
    onServerThread([this, &out] {
        m_counts.liveSubscriptions = 0;
        m_counts.monitoredItems = 0;
        for (const auto &[id, sub] : m_subscriptions)
            if (!sub.deleted) {
                ++m_counts.liveSubscriptions;
                m_counts.monitoredItems += sub.items.size();
            }
        out = m_counts;
    });
    return out;
}

void ScriptedServer::endSubscriptions()
{
    onServerThread([this] {
        for (auto &[id, sub] : m_subscriptions)
            sub.ended = true;
    });
}

void ScriptedServer::resetAll()
{
    onServerThread([this] {
        for (Connection *c : std::set<Connection *>(m_connections))
            drop(c, true);
    });
}

void ScriptedServer::serve(QTcpSocket *socket)
{
    auto *c = new Connection;
    c->socket = socket;
    m_connections.insert(c);
    ++m_counts.connections;
    QObject::connect(socket, &QTcpSocket::disconnected, socket, [this, c] {
        if (!m_connections.count(c))
            return;
        c->gone = true;
    });
    onChunks(socket, socket, [this, c](const QByteArray &chunk) {
        if (m_connections.count(c) && !c->gone)
            onChunk(c, chunk);
    });
}

// Closes a connection; a reset drops what it still had to send.
void ScriptedServer::drop(Connection *c, bool reset)
{
    if (c->gone)
        return;
    c->gone = true;
    for (auto &[id, s] : m_sessions)
        std::erase_if(s.publishes, [c](const auto &p) { return p.first == c; });
    if (reset) {
        c->socket->flush();
        const linger hard{1, 0};
        ::setsockopt(static_cast<int>(c->socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    c->socket->abort();
}

void ScriptedServer::onChunk(Connection *c, const QByteArray &chunk)
{
    if (m_script.silent)
        return;
    if (chunk.startsWith("HEL"))
        return void(c->socket->write(acknowledge(65536, 65536, 0, 0)));
    if (chunk.startsWith("OPN")) {
        ++m_counts.opens;
        return void(c->socket->write(openWithoutSecurity(chunk, ++c->sequence)));
    }
    if (chunk.startsWith("CLO"))
        return drop(c, false);
    if (!chunk.startsWith("MSGF"))
        return;
    Decoder d(chunk.mid(16));
    d.uint32(); // sequence
    const uint32_t requestId = d.uint32();
    onMessage(c, requestId, chunk.mid(24));
}

void ScriptedServer::answer(Connection *c, uint32_t requestId, const Request &r, uint32_t typeId, uint32_t status,
                            const std::function<void(Encoder &)> &body)
{
    if (c->gone || m_script.silent)
        return;
    Encoder m;
    m.nodeId(NodeId::num(0, typeId));
    m.dateTime(now());
    m.uint32(r.handle);
    m.uint32(status);
    m.byte(0);
    m.int32(-1);
    m.extensionObject({});
    if (body)
        body(m);
    // In chunks the client's buffer takes, as a server sends a large answer.
    constexpr qsizetype Room = 65536 - 24;
    const QByteArray message = m.take();
    for (qsizetype at = 0; at < message.size() || at == 0; at += Room) {
        const bool last = at + Room >= message.size();
        Encoder e;
        e.raw(last ? "MSGF" : "MSGC");
        e.uint32(0);
        e.uint32(1);
        e.uint32(1);
        e.uint32(++c->sequence);
        e.uint32(requestId);
        e.raw(QByteArrayView(message).sliced(at, std::min(Room, message.size() - at)));
        e.patchUInt32(4, static_cast<uint32_t>(e.size()));
        c->socket->write(e.bytes());
        if (last)
            break;
    }
}

void ScriptedServer::fault(Connection *c, uint32_t requestId, const Request &r, uint32_t status)
{
    answer(c, requestId, r, Id::ServiceFault, status);
}

// Counts the request, then serves it now or once its delay is over, in the
// order requests came.
void ScriptedServer::onMessage(Connection *c, uint32_t requestId, const QByteArray &message)
{
    Decoder peek(message);
    const uint32_t typeId = peek.nodeId().numeric;
    bool release = false;
    if (typeId == Id::BrowseNextRequest) {
        uint32_t token = 0, handle = 0;
        readRequestHeader(peek, token, handle);
        release = peek.boolean();
    }
    if (release)
        ++m_counts.releasesReceived;
    else
        ++m_counts.requests[typeId];
    const bool background = typeId == Id::PublishRequest || release;
    if (!background && m_unanswered == 0)
        ++m_counts.roundTrips;
    const int delay = typeId == Id::PublishRequest ? 0 : release ? m_script.releaseDelayMs : m_script.answerDelayMs;
    if (delay <= 0) {
        if (release)
            ++m_counts.releasesAnswered;
        return serveMessage(c, requestId, message);
    }
    if (!background)
        ++m_unanswered;
    QTimer::singleShot(delay, m_ticker, [this, c, requestId, message, background, release] {
        if (!background)
            --m_unanswered;
        if (release)
            ++m_counts.releasesAnswered;
        if (m_connections.count(c) && !c->gone)
            serveMessage(c, requestId, message);
    });
}

void ScriptedServer::serveMessage(Connection *c, uint32_t requestId, const QByteArray &message)
{
    Decoder d(message);
    Request r;
    r.typeId = d.nodeId().numeric;
    readRequestHeader(d, r.session, r.handle);
    const auto ok = [&](uint32_t typeId, const std::function<void(Encoder &)> &body) { answer(c, requestId, r, typeId, Good, body); };
    switch (r.typeId) {
    case Id::GetEndpointsRequest: {
        const QString url = d.string();
        return ok(Id::GetEndpointsResponse, [url, uri = m_script.applicationUri](Encoder &e) {
            e.int32(1);
            e.string(url);
            encodeApplication(e, uri);
            e.byteString({});
            e.int32(1);
            e.string(SecurityPolicyNone);
            e.int32(1);
            e.string(QStringLiteral("anonymous"));
            e.int32(0);
            e.string({});
            e.string({});
            e.string({});
            e.string(QStringLiteral("http://opcfoundation.org/UA-Profile/Transport/uatcp-uasc-uabinary"));
            e.byte(0);
        });
    }
    case Id::FindServersRequest:
        return ok(Id::FindServersResponse, [this](Encoder &e) {
            if (m_script.servers.empty()) {
                e.int32(1);
                return encodeApplication(e, m_script.applicationUri);
            }
            e.array(m_script.servers, [](Encoder &x, const ApplicationDescription &a) { encode(x, a); });
        });
    case Id::CreateSessionRequest: {
        const uint32_t id = m_nextSession++;
        m_sessions[id].id = id;
        ++m_counts.sessions;
        return ok(Id::CreateSessionResponse, [id](Encoder &e) {
            e.nodeId(NodeId::num(1, 100000 + id));
            e.nodeId(NodeId::num(1, id));
            e.float64(120000);
            e.byteString(ByteString::of(QByteArray(32, 'n')));
            e.byteString({});
            e.int32(0); // endpoints
            e.int32(0); // software certificates
            e.string({});
            e.byteString({});
            e.uint32(0);
        });
    }
    default:
        break;
    }
    // Everything else wants an activated session.
    const auto session = m_sessions.find(r.session);
    if (session == m_sessions.end())
        return fault(c, requestId, r, BadSessionIdInvalid);
    if (r.typeId == Id::ActivateSessionRequest) {
        // Done a while later, as a server that checks the user elsewhere
        // does, serving what came after it meanwhile.
        const auto activate = [this, c, requestId, r, id = session->first] {
            const auto it = m_sessions.find(id);
            if (it == m_sessions.end() || !m_connections.count(c))
                return;
            it->second.activated = true;
            answer(c, requestId, r, Id::ActivateSessionResponse, Good, [](Encoder &e) {
                e.byteString(ByteString::of(QByteArray(32, 'm')));
                e.int32(0);
                e.int32(0);
            });
        };
        if (m_script.activateDelayMs > 0)
            return void(QTimer::singleShot(m_script.activateDelayMs, m_ticker, activate));
        return activate();
    }
    if (!session->second.activated)
        return fault(c, requestId, r, 0x80270000); // BadSessionNotActivated
    switch (r.typeId) {
    case Id::CloseSessionRequest:
        m_sessions.erase(session);
        return ok(Id::CloseSessionResponse, {});
    case Id::ReadRequest:
        return read(c, requestId, r, d);
    case Id::BrowseRequest:
        return browse(c, requestId, r, d, false);
    case Id::BrowseNextRequest:
        return browse(c, requestId, r, d, true);
    case Id::WriteRequest: {
        const int32_t n = d.arrayLength();
        return ok(Id::WriteResponse, [n](Encoder &e) {
            e.int32(n);
            for (int32_t i = 0; i < n; ++i)
                e.uint32(Good);
            e.int32(0);
        });
    }
    default:
        return subscriptionService(c, requestId, r, d);
    }
}

opc::ua::DataValue ScriptedServer::valueOf(const Subscription &sub) const
{
    // The subscription's number and the tick: a value tells which
    // subscription brought it.
    DataValue v;
    v.value = Variant::scalar(BuiltIn::Double, m_script.valueBase + double(sub.id) * 100000 + double(m_ticks % 100000));
    v.sourceTimestamp = now();
    v.serverTimestamp = v.sourceTimestamp;
    return v;
}

void ScriptedServer::read(Connection *c, uint32_t requestId, const Request &r, Decoder &d)
{
    ++m_counts.reads;
    d.float64();
    d.int32();
    const auto ids = d.array([](Decoder &x) {
        ReadValueId id;
        id.nodeId = x.nodeId();
        id.attributeId = x.uint32();
        x.string();
        x.qualifiedName();
        return id;
    });
    const uint32_t perCall = m_script.maxItemsPerCall;
    answer(c, requestId, r, Id::ReadResponse, Good, [ids, perCall, this](Encoder &e) {
        e.int32(static_cast<int32_t>(ids.size()));
        for (const ReadValueId &id : ids) {
            DataValue v;
            if (id.nodeId.ns == 0 && id.nodeId.numeric == Id::NamespaceArray) {
                v.value = Variant::array(BuiltIn::String, {QStringLiteral("http://opcfoundation.org/UA/"), QString::fromLatin1(Uri)});
            } else if (id.nodeId.ns == 0 && (id.nodeId.numeric == Id::MaxNodesPerRead || id.nodeId.numeric == Id::MaxNodesPerBrowse)) {
                v.value = Variant::scalar(BuiltIn::UInt32, uint32_t{0});
            } else if (id.nodeId.ns == 0 && id.nodeId.numeric == Id::MaxMonitoredItemsPerCall) {
                v.value = Variant::scalar(BuiltIn::UInt32, perCall);
            } else if (id.nodeId.ns == 0 && id.nodeId.numeric == Id::ServerStatus_CurrentTime) {
                v.value = Variant::scalar(BuiltIn::DateTime, now());
            } else if (id.nodeId.ns == 0 && id.nodeId.numeric == Id::ServerStatus) {
                Encoder status;
                status.dateTime(DateTime::fromMSecsSinceEpoch(QDateTime::currentMSecsSinceEpoch() - m_clock.elapsed()));
                status.dateTime(now());
                status.int32(0); // running
                status.string(QString::fromLatin1(Uri));
                status.string(QStringLiteral("Quorivo tests"));
                status.string(QStringLiteral("Scripted"));
                status.string(QStringLiteral("1.2.3"));
                status.string(QStringLiteral("4"));
                status.dateTime(now());
                status.uint32(0);
                status.localizedText({});
                v.value = Variant::scalar(BuiltIn::ExtensionObject, ExtensionObject{NodeId::num(0, ServerStatusEncoding), 1, status.take()});
                Q_UNUSED(BuildInfoTypeId);
            } else if (id.nodeId.ns == 1 && id.attributeId == Attr::DataType) {
                v.value = Variant::scalar(BuiltIn::NodeId, NodeId::num(0, 11)); // Double
            } else if (id.nodeId.ns == 1 && id.attributeId == Attr::ValueRank) {
                v.value = Variant::scalar(BuiltIn::Int32, int32_t{-1});
            } else if (id.nodeId.ns == 1 && id.attributeId == Attr::Value) {
                v.value = Variant::scalar(BuiltIn::Double, m_script.valueBase + double(m_ticks));
                v.sourceTimestamp = now();
            } else {
                v.status = StatusCode{BadNodeIdUnknown};
            }
            e.dataValue(v);
        }
        e.int32(0);
    });
}

// The folder "Big" (bigFolder variables), "Endless" (pages without end)
// and the two folders themselves at the top.
void ScriptedServer::browse(Connection *c, uint32_t requestId, const Request &r, Decoder &d, bool next)
{
    struct Asked {
        QString node;
        int from = 0;
        bool none = false;
    };
    std::vector<Asked> asked;
    uint32_t max = 0;
    if (next) {
        const bool release = d.boolean();
        const auto points = d.array([](Decoder &x) { return x.byteString(); });
        ++m_counts.browseNexts;
        if (release) {
            m_counts.releasedPoints += static_cast<int>(points.size());
            return answer(c, requestId, r, Id::BrowseNextResponse, Good, [n = points.size()](Encoder &e) {
                e.int32(static_cast<int32_t>(n));
                for (size_t i = 0; i < n; ++i) {
                    e.uint32(Good);
                    e.byteString({});
                    e.int32(0);
                }
                e.int32(0);
            });
        }
        for (const ByteString &p : points) {
            const QList<QByteArray> parts = p.data.split(':');
            asked.push_back({QString::fromLatin1(parts.value(0)), parts.value(1).toInt(), parts.size() != 2});
        }
        max = 1000;
    } else {
        d.nodeId();
        d.dateTime();
        d.uint32();
        max = d.uint32();
        const auto nodes = d.array([](Decoder &x) {
            const NodeId id = x.nodeId();
            x.int32();
            x.nodeId();
            x.boolean();
            x.uint32();
            x.uint32();
            return id;
        });
        for (const NodeId &n : nodes)
            asked.push_back({n.kind == NodeId::Kind::String ? n.string : n.toString(), 0, false});
    }
    const Script script = m_script;
    answer(c, requestId, r, next ? Id::BrowseNextResponse : Id::BrowseResponse, Good, [asked, max, script](Encoder &e) {
        e.int32(static_cast<int32_t>(asked.size()));
        for (const Asked &a : asked) {
            if (a.none) {
                e.uint32(BadContinuationPointInvalid);
                e.byteString({});
                e.int32(0);
                continue;
            }
            bool unknown = false;
            if (const auto plant = plantChildren(a.node, script, unknown)) {
                e.uint32(unknown ? BadNodeIdUnknown : Good);
                // One reference where only one was asked (the test for
                // children of variables), a continuation point for the rest.
                const size_t count = max > 0 ? std::min<size_t>(max, plant->size()) : plant->size();
                e.byteString(count < plant->size() ? ByteString::of(a.node.toLatin1() + ":" + QByteArray::number(qulonglong(count)))
                                                   : ByteString{});
                e.int32(static_cast<int32_t>(count));
                for (size_t i = 0; i < count; ++i)
                    encodeReference(e, (*plant)[i].id, (*plant)[i].name, (*plant)[i].nodeClass);
                continue;
            }
            const bool top = a.node == QStringLiteral("i=85");
            const bool big = a.node == QStringLiteral("Big");
            const bool endless = a.node == QStringLiteral("Endless");
            int total = top ? (script.plant ? 3 : 2) : big ? script.bigFolder : endless ? INT32_MAX : 0;
            int count = total - a.from;
            const bool whole = script.browse == Script::Browse::Whole && !endless;
            if (endless)
                count = script.endlessPage;
            else if (!whole && max > 0 && count > static_cast<int>(max))
                count = static_cast<int>(max);
            const bool more = endless || a.from + count < total;
            e.uint32(Good);
            e.byteString(more ? ByteString::of(a.node.toLatin1() + ':' + QByteArray::number(a.from + count)) : ByteString{});
            e.int32(count);
            for (int i = 0; i < count; ++i) {
                if (top) {
                    const QString name = i == 0 ? QStringLiteral("Big") : i == 1 ? QStringLiteral("Endless") : QStringLiteral("Plant");
                    encodeReference(e, name, name, 1);
                    continue;
                }
                QString name = QStringLiteral("V%1").arg(a.from + i);
                if (name.size() < script.nameLength)
                    name += QString(script.nameLength - name.size(), QLatin1Char('x'));
                encodeReference(e, a.node + QLatin1Char('.') + name, name, 2);
            }
        }
        e.int32(0);
    });
}

void ScriptedServer::subscriptionService(Connection *c, uint32_t requestId, const Request &r, Decoder &d)
{
    Session &session = m_sessions[r.session];
    const auto ok = [&](uint32_t typeId, const std::function<void(Encoder &)> &body) { answer(c, requestId, r, typeId, Good, body); };
    switch (r.typeId) {
    case Id::CreateSubscriptionRequest: {
        Subscription sub;
        sub.id = m_nextSubscription++;
        sub.session = session.id;
        sub.interval = std::max(10.0, d.float64());
        d.uint32();
        sub.keepAliveCount = std::clamp<uint32_t>(d.uint32(), 1, m_script.keepAliveCount);
        sub.due = m_clock.elapsed() + static_cast<qint64>(sub.interval);
        m_subscriptions[sub.id] = sub;
        ++m_counts.subscriptionsMade;
        const auto send = [this, c, requestId, r, sub] {
            if (!m_connections.count(c))
                return;
            if (auto it = m_subscriptions.find(sub.id); it != m_subscriptions.end())
                it->second.announced = true;
            answer(c, requestId, r, Id::CreateSubscriptionResponse, Good, [sub](Encoder &e) {
                e.uint32(sub.id);
                e.float64(sub.interval);
                e.uint32(sub.keepAliveCount * 3);
                e.uint32(sub.keepAliveCount);
            });
        };
        if (m_script.createSubscriptionDelayMs > 0)
            QTimer::singleShot(m_script.createSubscriptionDelayMs, c->socket, send);
        else
            send();
        return;
    }
    case Id::ModifySubscriptionRequest: {
        const uint32_t id = d.uint32();
        const double interval = d.float64();
        auto it = m_subscriptions.find(id);
        if (m_script.refuseModify)
            return fault(c, requestId, r, BadUserAccessDenied);
        if (it == m_subscriptions.end())
            return fault(c, requestId, r, BadSubscriptionIdInvalid);
        it->second.interval = std::max(10.0, interval);
        return ok(Id::ModifySubscriptionResponse, [sub = it->second](Encoder &e) {
            e.float64(sub.interval);
            e.uint32(sub.keepAliveCount * 3);
            e.uint32(sub.keepAliveCount);
        });
    }
    case Id::DeleteSubscriptionsRequest: {
        const auto ids = d.array([](Decoder &x) { return x.uint32(); });
        for (uint32_t id : ids)
            if (auto it = m_subscriptions.find(id); it != m_subscriptions.end()) {
                if (m_script.ignoreDelete)
                    it->second.deleted = true;
                else
                    m_subscriptions.erase(it);
            }
        return ok(Id::DeleteSubscriptionsResponse, [n = ids.size()](Encoder &e) {
            e.int32(static_cast<int32_t>(n));
            for (size_t i = 0; i < n; ++i)
                e.uint32(Good);
            e.int32(0);
        });
    }
    case Id::CreateMonitoredItemsRequest: {
        ++m_counts.itemCalls;
        if (m_script.closeAfterItemCalls > 0 && ++c->itemCalls >= m_script.closeAfterItemCalls)
            return drop(c, true);
        const uint32_t id = d.uint32();
        d.int32();
        const auto handles = d.array([](Decoder &x) {
            x.nodeId();
            x.uint32();
            x.string();
            x.qualifiedName();
            x.int32();
            const uint32_t handle = x.uint32();
            x.float64();
            x.extensionObject();
            x.uint32();
            x.boolean();
            return handle;
        });
        auto it = m_subscriptions.find(id);
        if (it == m_subscriptions.end())
            return fault(c, requestId, r, BadSubscriptionIdInvalid);
        std::vector<uint32_t> made;
        for (uint32_t h : handles) {
            const uint32_t item = m_nextItem++;
            it->second.items[item] = h;
            made.push_back(item);
        }
        return ok(Id::CreateMonitoredItemsResponse, [made, interval = it->second.interval](Encoder &e) {
            e.int32(static_cast<int32_t>(made.size()));
            for (uint32_t m : made) {
                e.uint32(Good);
                e.uint32(m);
                e.float64(interval);
                e.uint32(1);
                e.extensionObject({});
            }
            e.int32(0);
        });
    }
    case Id::DeleteMonitoredItemsRequest: {
        const uint32_t id = d.uint32();
        const auto ids = d.array([](Decoder &x) { return x.uint32(); });
        if (auto it = m_subscriptions.find(id); it != m_subscriptions.end())
            for (uint32_t m : ids)
                it->second.items.erase(m);
        return ok(Id::DeleteMonitoredItemsResponse, [n = ids.size()](Encoder &e) {
            e.int32(static_cast<int32_t>(n));
            for (size_t i = 0; i < n; ++i)
                e.uint32(Good);
            e.int32(0);
        });
    }
    case Id::PublishRequest: {
        ++m_counts.publishes;
        if (m_script.closeEverySession) {
            m_sessions.erase(session.id);
            return fault(c, requestId, r, BadSessionClosed);
        }
        session.publishes.push_back({c, {requestId, r.handle}});
        return;
    }
    case Id::RepublishRequest: {
        ++m_counts.republishes;
        const uint32_t id = d.uint32();
        auto it = m_subscriptions.find(id);
        if (it == m_subscriptions.end())
            return fault(c, requestId, r, BadSubscriptionIdInvalid);
        m_counts.maxRepublishing = std::max(m_counts.maxRepublishing, ++it->second.republishing);
        if (m_script.republishDelayMs < 0)
            return; // never answered: only the client's own time ends it
        QTimer::singleShot(m_script.republishDelayMs, c->socket, [this, c, requestId, r, id] {
            if (auto it = m_subscriptions.find(id); it != m_subscriptions.end())
                --it->second.republishing;
            if (m_connections.count(c))
                fault(c, requestId, r, BadMessageNotAvailable);
        });
        return;
    }
    default:
        return fault(c, requestId, r, BadServiceUnsupported);
    }
}

// Every subscription whose interval has come answers a Publish of its
// session: its items' values, or after keepAliveCount empty intervals a
// keep-alive; an ended one says so once and goes.
void ScriptedServer::tick()
{
    ++m_ticks;
    if (m_script.silent)
        return;
    const qint64 at = m_clock.elapsed();
    for (auto it = m_subscriptions.begin(); it != m_subscriptions.end();) {
        Subscription &sub = it->second;
        auto session = m_sessions.find(sub.session);
        if (session == m_sessions.end() || at < sub.due || !sub.announced) {
            ++it;
            continue;
        }
        sub.due = at + static_cast<qint64>(sub.interval);
        if (sub.ended) {
            if (sendPublish(session->second, sub, false)) {
                it = m_subscriptions.erase(it);
                continue;
            }
        } else if (!sub.items.empty()) {
            sendPublish(session->second, sub, false);
        } else if (++sub.idle >= sub.keepAliveCount && sendPublish(session->second, sub, true)) {
            sub.idle = 0;
        }
        ++it;
    }
}

bool ScriptedServer::sendPublish(Session &s, Subscription &sub, bool keepAlive)
{
    while (!s.publishes.empty() && s.publishes.front().first->gone)
        s.publishes.pop_front();
    if (s.publishes.empty())
        return false;
    const auto [c, request] = s.publishes.front();
    s.publishes.pop_front();
    if (!keepAlive)
        sub.sequence += m_script.sequenceStep;
    const uint32_t sequence = keepAlive ? sub.sequence + 1 : sub.sequence;
    Request r;
    r.handle = request.second;
    const DataValue value = valueOf(sub);
    answer(c, request.first, r, Id::PublishResponse, Good, [&sub, sequence, keepAlive, value](Encoder &e) {
        e.uint32(sub.id);
        e.int32(1);
        e.uint32(sequence);
        e.boolean(false);
        e.uint32(sequence);
        e.dateTime(now());
        if (keepAlive) {
            e.int32(0);
        } else if (sub.ended) {
            Encoder body;
            body.uint32(0x800A0000); // BadTimeout: its lifetime is over
            body.byte(0);
            e.int32(1);
            e.extensionObject({NodeId::num(0, Id::StatusChangeNotification), 1, body.take()});
        } else {
            Encoder body;
            body.int32(static_cast<int32_t>(sub.items.size()));
            for (const auto &[item, handle] : sub.items) {
                body.uint32(handle);
                body.dataValue(value);
            }
            body.int32(0);
            e.int32(1);
            e.extensionObject({NodeId::num(0, Id::DataChangeNotification), 1, body.take()});
        }
        e.int32(0); // acknowledgement results
        e.int32(0);
    });
    if (m_script.resetAfterPublishes > 0 && ++c->publishesSent >= m_script.resetAfterPublishes)
        drop(c, true);
    return true;
}
