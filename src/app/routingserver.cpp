// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/routingserver.h"

#include "opc/sim/simserver.h"
#include "opc/ua/client/client.h"
#include "opc/ua/client/discovery.h"
#include "opc/ua/bridge/uaserver.h"

namespace quorivo {

using namespace OPCAutomation;
using opc::OpcError;
namespace S = opc::Status;

namespace {

class RoutingServer final : public OPCServer {
public:
    explicit RoutingServer(std::function<ServerPtr()> local) : m_makeLocal(std::move(local)) {}

    Value GetOPCServers(const QString &node) override
    {
        const QString asked = nodeAsked(node);
        return pick(asked)->GetOPCServers(asked);
    }
    void Connect(const QString &progId, const QString &node) override
    {
        if (m_connected && m_connected->ServerState() != OPCDisconnected)
            throw OpcError(S::E_FAIL);
        const QString asked = nodeAsked(node);
        auto target = pick(asked);
        target->Connect(progId, asked);
        m_connected = target;
    }
    void Disconnect() override { connected().Disconnect(); }
    GroupsPtr OPCGroups() override { return connected().OPCGroups(); }
    BrowserPtr CreateBrowser() override { return connected().CreateBrowser(); }
    QString ServerName() override { return connected().ServerName(); }
    QString ServerNode() override { return connected().ServerNode(); }
    QString VendorInfo() override { return connected().VendorInfo(); }
    QDateTime StartTime() override { return connected().StartTime(); }
    QDateTime CurrentTime() override { return connected().CurrentTime(); }
    QDateTime LastUpdateTime() override { return connected().LastUpdateTime(); }
    int16_t MajorVersion() override { return connected().MajorVersion(); }
    int16_t MinorVersion() override { return connected().MinorVersion(); }
    int16_t BuildNumber() override { return connected().BuildNumber(); }
    int32_t ServerState() override { return m_connected ? m_connected->ServerState() : int32_t(OPCDisconnected); }
    int32_t LocaleID() override { return connected().LocaleID(); }
    int32_t Bandwidth() override { return connected().Bandwidth(); }

private:
    // Another machine named without a scheme: its discovery server, at the
    // well-known port. A name that makes no address stays with the
    // simulation, which knows no other node.
    static QString nodeAsked(const QString &node)
    {
        if (opc::ua::isUaNode(node) || opc::sim::isLocalNode(node))
            return node;
        QString host = node.trimmed();
        if (host.contains(QLatin1Char(':')) && !host.startsWith(QLatin1Char('[')))
            host = QLatin1Char('[') + host + QLatin1Char(']'); // an IPv6 address
        const QString url = QStringLiteral("opc.tcp://%1:%2").arg(host).arg(opc::ua::DiscoveryPort);
        return opc::ua::parseTarget(url) && !host.contains(QLatin1Char('@')) && !host.contains(QLatin1Char('/')) ? url : node;
    }

    ServerPtr pick(const QString &node)
    {
        if (opc::ua::isUaNode(node)) {
            if (!m_ua)
                m_ua = opc::ua::newUaServer();
            return m_ua;
        }
        if (!m_local)
            m_local = m_makeLocal();
        return m_local;
    }

    OPCServer &connected()
    {
        if (!m_connected)
            throw OpcError(S::E_FAIL);
        return *m_connected;
    }

    std::function<ServerPtr()> m_makeLocal;
    ServerPtr m_local, m_ua, m_connected;
};

} // namespace

ServerPtr newRoutingServer(std::function<ServerPtr()> local) { return std::make_shared<RoutingServer>(std::move(local)); }

} // namespace quorivo
