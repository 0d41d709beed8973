// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/ua/bridge/uaserver.h"

#include "opc/confirm.h"

#include "opc/ua/bridge/browser.h"
#include "opc/ua/client/discovery.h"
#include "opc/ua/client/endpoints.h"
#include "opc/ua/bridge/link.h"
#include "opc/ua/bridge/objects.h"
#include "opc/ua/wire/services.h"

#include <QElapsedTimer>
#include <QTimer>

namespace opc::ua {

using namespace OPCAutomation;
using opc::OpcError;
namespace S = opc::Status;

namespace {

const QString ClearPasswordQuestion =
    QStringLiteral("Il server chiede la password senza cifrarla: viaggerebbe in rete leggibile da chiunque. "
                   "Inviarla comunque?");

struct ServerStatus {
    QDateTime start, current;
    int32_t state = 0;
    QString productName, manufacturer, softwareVersion, buildNumber;
};

class UaServer final : public OPCServer {
public:
    ~UaServer() override
    {
        if (m_link)
            m_link->close();
    }

    // Each server the node's discovery reports, by application URI, then
    // one entry per endpoint of it the bridge can use, most secure first
    // (see parseEndpointChoice for the form), as its own address gave them.
    // A server no address of which answered for it is listed by URI alone,
    // marked; clients and discovery servers are not listed.
    Value GetOPCServers(const QString &node) override
    {
        const auto target = parseTarget(node);
        if (!target)
            throw OpcError(S::E_INVALIDARG);
        Worker worker;
        struct Result {
            int32_t error = S::RPC_S_SERVER_UNAVAILABLE;
            std::vector<FoundServer> servers;
        };
        QObject *context = worker.context();
        const Target t = *target;
        const int wait = ConnectTimeoutMs + CallTimeoutMs + AllServersTimeoutMs + 2000;
        Result r = worker.call<Result>(wait, Result{}, [context, t](std::function<void(Result)> complete) {
            discoverServers(context, t, ConnectTimeoutMs, CallTimeoutMs, [complete](int32_t error, std::vector<FoundServer> servers) {
                complete({error, std::move(servers)});
            });
        });
        if (r.error)
            throw OpcError(r.error);
        rememberServers(t, r.servers);
        std::vector<Value> ids;
        for (const FoundServer &server : r.servers) {
            const QString &uri = server.app.applicationUri;
            if (!server.answered) {
                ids.push_back(Value::text(uri + (server.otherServer ? OtherServerMark : UnreachableMark)));
                continue;
            }
            ids.push_back(Value::text(uri));
            for (const auto &ep : usableEndpoints(server.endpoints, uri))
                ids.push_back(Value::text(endpointChoiceText(uri, *policyOfUri(ep.securityPolicyUri), static_cast<SecurityMode>(ep.securityMode))));
        }
        return Value::array(opc::VT_BSTR, std::move(ids), 1);
    }

    void Connect(const QString &progId, const QString &node) override
    {
        if (m_link && m_link->alive)
            throw OpcError(S::E_FAIL);
        auto target = parseTarget(node);
        if (!target)
            throw OpcError(S::E_INVALIDARG);
        if (progId.trimmed().isEmpty())
            throw OpcError(S::CO_E_CLASSSTRING);
        // A server the node's listing found answers at its own address; the
        // server there must still prove it is the one named.
        std::vector<EndpointDescription> known;
        if (auto own = rememberedServer(*target, parseEndpointChoice(progId).serverUri)) {
            target = std::move(own->address);
            known = std::move(own->endpoints);
        }
        auto link = std::make_shared<Link>();
        link->worker = std::make_unique<Worker>();
        link->target = *target;
        link->serverId = progId;
        QObject *context = link->worker->context();
        Client *client = nullptr;
        link->worker->call<int>(2000, 0, [context, &client](std::function<void(int)> complete) {
            client = new Client(context);
            complete(0);
        });
        link->client = client;
        // A certificate refused by an earlier connect is no longer news.
        opc::takeRefusedCertificate();
        int32_t error = connectOnce(*link, *target, progId, known, false);
        // A server that wants the password readable where anyone on the way
        // could read it: only the operator may let it go, and it is asked
        // before anything of the password has left.
        if (error == S::UA_E_CLEARPASSWORD && opc::confirm(ClearPasswordQuestion))
            error = connectOnce(*link, *target, progId, known, true);
        // Not kept in this thread either: the worker's session wipes the one
        // buffer every copy shares once it is sent, and this copy lets go.
        link->target.password = std::make_shared<Secret>();
        if (error) {
            using Refused = std::optional<RefusedCertificate>;
            Refused refused = link->worker->call<Refused>(2000, std::nullopt, [client](std::function<void(Refused)> complete) {
                complete(client->takeRefused());
            });
            if (refused)
                opc::setRefusedCertificate(std::move(*refused));
            link->close();
            throw OpcError(error);
        }
        link->alive = true;
        m_link = link;
        m_groups.reset();
        m_status->value.reset();
    }

    void Disconnect() override
    {
        if (!m_link || !m_link->alive)
            throw OpcError(S::E_FAIL);
        m_link->close();
    }

    GroupsPtr OPCGroups() override
    {
        check();
        if (!m_groups)
            m_groups = newUaGroups(m_link);
        return m_groups;
    }

    BrowserPtr CreateBrowser() override
    {
        check();
        return newUaBrowser(m_link);
    }

    QString ServerName() override
    {
        check();
        return m_link->serverId;
    }
    QString ServerNode() override
    {
        check();
        return m_link->target.url;
    }
    QString VendorInfo() override
    {
        const ServerStatus s = status();
        return s.productName + QStringLiteral(", ") + s.manufacturer;
    }
    QDateTime StartTime() override { return status().start; }
    QDateTime CurrentTime() override { return status().current; }
    QDateTime LastUpdateTime() override { return status().current; }
    int16_t MajorVersion() override { return versionPart(0); }
    int16_t MinorVersion() override { return versionPart(1); }
    int16_t BuildNumber() override { return static_cast<int16_t>(status().buildNumber.toInt()); }
    int32_t ServerState() override
    {
        if (!m_link || !m_link->alive)
            return OPCDisconnected;
        switch (status().state) {
        case 0: return OPCRunning;
        case 2: return OPCNoconfig;
        case 3: return OPCSuspended;
        case 5: return OPCTest;
        case 6: return OPCDisconnected;
        default: return OPCFailed;
        }
    }
    int32_t LocaleID() override
    {
        check();
        return 1033; // the session asks for no locale: the server's default, English
    }
    int32_t Bandwidth() override
    {
        check();
        return -1;
    }

private:
    void check() const
    {
        if (!m_link || !m_link->alive)
            throw OpcError(S::E_FAIL);
    }

    static int32_t connectOnce(Link &link, const Target &target, const QString &progId,
                               const std::vector<EndpointDescription> &known, bool clearPasswordAllowed)
    {
        Client *client = link.client;
        return link.worker->call<int32_t>(ConnectTimeoutMs + 2000, S::RPC_S_SERVER_UNAVAILABLE,
                                          [client, target, progId, known, clearPasswordAllowed](std::function<void(int32_t)> complete) {
            client->setClearPasswordAllowed(clearPasswordAllowed);
            client->setKnownEndpoints(known);
            client->connectTo(target, progId, ConnectTimeoutMs, complete);
        });
    }

    int16_t versionPart(int index)
    {
        const QStringList parts = status().softwareVersion.split(QLatin1Char('.'));
        return static_cast<int16_t>(parts.value(index).toInt());
    }

    // One Read answers every field its caller asks before it returns to its
    // event loop ("Proprietà" shows eight), and never for longer than a
    // second.
    ServerStatus status()
    {
        check();
        if (m_status->value && m_status->readAt.elapsed() < 1000)
            return *m_status->value;
        ServerStatus s = readStatus();
        m_status->value = s;
        m_status->readAt.start();
        QTimer::singleShot(0, [kept = std::weak_ptr<KeptStatus>(m_status)] {
            if (const auto status = kept.lock())
                status->value.reset();
        });
        return s;
    }

    ServerStatus readStatus()
    {
        const auto values = m_link->read({ReadValueId{NodeId::num(0, Id::ServerStatus), Attr::Value}});
        const DataValue &dv = values.at(0);
        const ExtensionObject *status = dv.value ? dv.value->scalarAs<ExtensionObject>() : nullptr;
        if (!status)
            throw OpcError(S::E_FAIL);
        const ExtensionObject &x = *status;
        ServerStatus s;
        try {
            Decoder d(x.body);
            const auto date = [](DateTime t) { return QDateTime::fromMSecsSinceEpoch(t.toMSecsSinceEpoch(), Qt::UTC); };
            s.start = date(d.dateTime());
            s.current = date(d.dateTime());
            s.state = d.int32();
            d.string(); // product uri
            s.manufacturer = d.string();
            s.productName = d.string();
            s.softwareVersion = d.string();
            s.buildNumber = d.string();
        } catch (const DecodeError &) {
            throw OpcError(S::E_FAIL);
        }
        return s;
    }

    struct KeptStatus {
        std::optional<ServerStatus> value;
        QElapsedTimer readAt;
    };

    LinkPtr m_link;
    GroupsPtr m_groups;
    std::shared_ptr<KeptStatus> m_status = std::make_shared<KeptStatus>();
};

} // namespace

ServerPtr newUaServer() { return std::make_shared<UaServer>(); }

} // namespace opc::ua
