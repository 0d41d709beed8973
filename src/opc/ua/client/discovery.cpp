// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/ua/client/discovery.h"

#include "opc/errors.h"
#include "opc/ua/client/channel.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QUrl>
#include <map>
#include <memory>
#include <mutex>

namespace opc::ua {

namespace S = opc::Status;

namespace {

void askEndpointsOf(const QString &url, Encoder &e)
{
    e.string(url);
    e.int32(0); // locales
    e.int32(0); // profiles
}

bool sameListener(const Target &a, const Target &b) { return a.port == b.port && a.host.compare(b.host, Qt::CaseInsensitive) == 0; }

// The addresses to try for a listed server, in order: each it names, and
// right after each, the operator's host in its place.
std::vector<Target> addressesOf(const ApplicationDescription &app, const Target &node)
{
    std::vector<Target> out;
    const auto add = [&out](const Target &t) {
        if (std::none_of(out.begin(), out.end(), [&t](const Target &o) { return o.url == t.url; }))
            out.push_back(t);
    };
    int taken = 0;
    for (const QString &url : app.discoveryUrls) {
        if (taken == MaxDiscoveryUrls)
            break;
        const auto checked = checkedServerUrl(url);
        if (!checked)
            continue;
        ++taken;
        add(*checked);
        if (checked->host.compare(node.host, Qt::CaseInsensitive) != 0)
            add(withHostOf(*checked, node));
    }
    if (app.discoveryUrls.empty())
        add(node); // a server that names no address answers where it was asked
    return out;
}

// One listing, held by the callbacks of its channels until all have ended.
class Listing : public std::enable_shared_from_this<Listing> {
public:
    Listing(QObject *context, const Target &node, int connectTimeoutMs, int callTimeoutMs,
            std::function<void(int32_t, std::vector<FoundServer>)> done)
        : m_context(context), m_node(node), m_connectTimeoutMs(connectTimeoutMs), m_callTimeoutMs(callTimeoutMs),
          m_done(std::move(done))
    {
    }

    void start()
    {
        auto self = shared_from_this();
        m_nodeChannel = new Channel(m_context);
        m_nodeChannel->open(m_node.host, m_node.port, m_node.url, m_connectTimeoutMs, [self](int32_t error) {
            if (error)
                return self->finish(error);
            const QString url = self->m_node.url;
            self->m_nodeChannel->request(encodeRequest(Id::FindServersRequest, {}, [&url](Encoder &e) { askEndpointsOf(url, e); }),
                                         self->m_callTimeoutMs, [self](const Reply &reply) { self->onServers(reply); },
                                         MaxDiscoveryReply);
        });
    }

private:
    void onServers(const Reply &reply)
    {
        if (reply.error)
            return finish(reply.error);
        try {
            Decoder d(reply.message);
            if (decodeResponseStart(d).header.serviceResult.isBad())
                return finish(S::E_FAIL);
            for (auto &app : d.array([](Decoder &x) { return decodeApplicationDescription(x); })) {
                // Clients and discovery servers hold no session of ours.
                if (app.applicationType == 1 || app.applicationType == 3)
                    continue;
                if (static_cast<int>(m_servers.size()) == MaxListedServers)
                    break;
                m_servers.push_back({std::move(app), std::nullopt, {}, false, false});
            }
        } catch (const DecodeError &) {
            return finish(S::RPC_S_SERVER_UNAVAILABLE);
        }
        // Past the round's time the servers still asked are listed unanswered.
        QTimer::singleShot(AllServersTimeoutMs, m_context, [self = shared_from_this()] { self->finish(0); });
        askMore();
    }

    void askMore()
    {
        while (!m_ended && m_running < DiscoveryInParallel && m_next < m_servers.size()) {
            const size_t index = m_next++;
            ++m_running;
            QElapsedTimer since;
            since.start();
            ask(index, addressesOf(m_servers[index].app, m_node), 0, since);
        }
        if (!m_ended && m_running == 0 && m_next == m_servers.size())
            finish(0);
    }

    void ask(size_t index, std::vector<Target> addresses, size_t at, QElapsedTimer since)
    {
        const int left = ServerDiscoveryTimeoutMs - static_cast<int>(since.elapsed());
        if (m_ended || at >= addresses.size() || left <= 0) {
            --m_running;
            return askMore();
        }
        auto self = shared_from_this();
        const Target address = addresses[at];
        const auto tryNext = [self, index, addresses, at, since] { self->ask(index, addresses, at + 1, since); };
        const auto onAnswer = [self, index, address, tryNext](const Reply &reply) {
            if (!self->m_ended && self->proven(index, address, reply)) {
                --self->m_running;
                return self->askMore();
            }
            tryNext();
        };
        const QByteArray request = encodeRequest(Id::GetEndpointsRequest, {}, [&address](Encoder &e) { askEndpointsOf(address.url, e); });
        if (sameListener(address, m_node) && m_nodeChannel)
            return m_nodeChannel->request(request, std::min(left, m_callTimeoutMs), onAnswer, MaxDiscoveryReply);
        auto *channel = new Channel(m_context);
        const auto release = [channel] {
            channel->close();
            channel->deleteLater();
        };
        channel->open(address.host, address.port, address.url, std::min(left, m_connectTimeoutMs),
                      [channel, request, left, onAnswer, tryNext, release, callTimeoutMs = m_callTimeoutMs](int32_t error) {
            if (error) {
                release();
                return tryNext();
            }
            channel->request(request, std::min(left, callTimeoutMs), [onAnswer, release](const Reply &reply) {
                release();
                onAnswer(reply);
            }, MaxDiscoveryReply);
        });
    }

    // Whether the answer at this address names the listed server: only
    // then is the address its own.
    bool proven(size_t index, const Target &address, const Reply &reply)
    {
        if (reply.error)
            return false;
        FoundServer &server = m_servers[index];
        try {
            Decoder d(reply.message);
            if (decodeResponseStart(d).header.serviceResult.isBad())
                return false;
            auto endpoints = d.array([](Decoder &x) { return decodeEndpointDescription(x); });
            const bool named = std::any_of(endpoints.begin(), endpoints.end(), [&server](const EndpointDescription &ep) {
                return ep.server.applicationUri == server.app.applicationUri;
            });
            if (!named) {
                server.otherServer = true;
                return false;
            }
            server.answered = true;
            server.otherServer = false;
            server.address = address;
            server.endpoints = std::move(endpoints);
            return true;
        } catch (const DecodeError &) {
            return false;
        }
    }

    void finish(int32_t error)
    {
        if (m_ended)
            return;
        m_ended = true;
        if (m_nodeChannel) {
            m_nodeChannel->close();
            m_nodeChannel->deleteLater();
            m_nodeChannel = nullptr;
        }
        auto done = std::move(m_done);
        done(error, error ? std::vector<FoundServer>{} : std::move(m_servers));
    }

    QObject *m_context;
    Target m_node;
    int m_connectTimeoutMs, m_callTimeoutMs;
    std::function<void(int32_t, std::vector<FoundServer>)> m_done;
    Channel *m_nodeChannel = nullptr;
    std::vector<FoundServer> m_servers;
    size_t m_next = 0;
    int m_running = 0;
    bool m_ended = false;
};

struct Remembered {
    struct Server {
        QString url;
        std::vector<EndpointDescription> endpoints;
    };
    struct OfNode {
        QElapsedTimer made;
        qint64 aged = 0; // by tests
        std::map<QString, Server> byUri;
    };
    std::mutex lock;
    std::map<QString, OfNode> byNode; // by the node's URL
};

Remembered &remembered()
{
    static Remembered r;
    return r;
}

QString nodeKey(const Target &node) { return node.url.toLower(); }

} // namespace

std::optional<Target> checkedServerUrl(const QString &url)
{
    if (url.size() > 4096)
        return std::nullopt;
    const QUrl parsed(url.trimmed(), QUrl::StrictMode);
    if (!parsed.isValid() || parsed.scheme().compare(QLatin1String("opc.tcp"), Qt::CaseInsensitive) != 0 ||
        !parsed.userInfo().isEmpty() || parsed.host().isEmpty() || parsed.hasQuery() || parsed.hasFragment())
        return std::nullopt;
    const int port = parsed.port(DiscoveryPort);
    if (port <= 0 || port > 65535)
        return std::nullopt;
    Target t;
    t.host = parsed.host();
    t.port = static_cast<quint16>(port);
    t.url = parsed.toString();
    return t;
}

Target withHostOf(const Target &listed, const Target &typed)
{
    QUrl url(listed.url);
    url.setHost(typed.host);
    Target t = listed;
    t.host = typed.host;
    t.url = url.toString();
    return t;
}

void discoverServers(QObject *context, const Target &node, int connectTimeoutMs, int callTimeoutMs,
                     std::function<void(int32_t, std::vector<FoundServer>)> done)
{
    std::make_shared<Listing>(context, node, connectTimeoutMs, callTimeoutMs, std::move(done))->start();
}

void rememberServers(const Target &node, const std::vector<FoundServer> &servers)
{
    Remembered &r = remembered();
    const std::lock_guard guard(r.lock);
    // A few nodes' listings are enough: the operator connects to what was
    // just listed.
    const QString key = nodeKey(node);
    if (r.byNode.size() >= 16 && !r.byNode.count(key))
        r.byNode.clear();
    auto &known = r.byNode[key];
    known.byUri.clear();
    known.made.start();
    known.aged = 0;
    for (const FoundServer &s : servers)
        if (s.answered && s.address)
            known.byUri[s.app.applicationUri] = {s.address->url, s.endpoints};
}

std::optional<RememberedServer> rememberedServer(const Target &node, const QString &serverUri)
{
    Remembered &r = remembered();
    const std::lock_guard guard(r.lock);
    const auto known = r.byNode.find(nodeKey(node));
    if (known == r.byNode.end())
        return std::nullopt;
    const auto at = known->second.byUri.find(serverUri);
    if (at == known->second.byUri.end())
        return std::nullopt;
    auto address = checkedServerUrl(at->second.url);
    if (!address)
        return std::nullopt;
    // The operator's login goes with them, as typed for the node.
    address->user = node.user;
    address->password = node.password;
    RememberedServer out{*address, {}};
    if (known->second.made.elapsed() + known->second.aged < KnownEndpointsMs)
        out.endpoints = at->second.endpoints;
    return out;
}

void ageRememberedServers(qint64 ms)
{
    Remembered &r = remembered();
    const std::lock_guard guard(r.lock);
    for (auto &[node, listing] : r.byNode)
        listing.aged += ms;
}

} // namespace opc::ua
