// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/ua/client/target.h"
#include "opc/ua/wire/services.h"

#include <QObject>
#include <functional>
#include <optional>
#include <vector>

// The servers of a node as OPC UA has them (OPC 10000-12 §4.3): what the
// node's discovery server answers to FindServers, and each server's own
// endpoints, asked at its own discovery address. Both answers are unsigned:
// a listed server counts only once its own address names it.
namespace opc::ua {

// A node typed without a scheme is asked at its discovery server's
// well-known port (OPC 10000-6 §7.6).
constexpr quint16 DiscoveryPort = 4840;
// The most servers a listing takes, the most addresses of each it tries,
// and the most asked at once.
constexpr int MaxListedServers = 1000;
constexpr int MaxDiscoveryUrls = 8;
constexpr int DiscoveryInParallel = 16;
// How long one server's answer is waited for, its addresses together, and
// the whole round of them.
constexpr int ServerDiscoveryTimeoutMs = 5000;
constexpr int AllServersTimeoutMs = 30000;

struct FoundServer {
    ApplicationDescription app;
    // The address that answered for it (the operator's host in place of
    // one that did not resolve or answer), and its endpoints there.
    std::optional<Target> address;
    std::vector<EndpointDescription> endpoints;
    bool answered = false;   // some address of it answered GetEndpoints
    bool otherServer = false; // ...naming another server, not this one
};

// "opc.tcp://host:port/path" as a discovery answer may give it: nothing for
// another scheme, a port out of range or user information in it.
std::optional<Target> checkedServerUrl(const QString &url);
// The operator's host with the listed address's port and path.
Target withHostOf(const Target &listed, const Target &typed);

// FindServers at the node, then GetEndpoints at each server's addresses, at
// most DiscoveryInParallel at once; runs on `context`'s thread and ends with
// the error of the node's own answer (a server that does not answer is
// listed unanswered, never an error of the whole).
void discoverServers(QObject *context, const Target &node, int connectTimeoutMs, int callTimeoutMs,
                     std::function<void(int32_t error, std::vector<FoundServer> servers)> done);

// Where each server of a node's last listing answered, and the endpoints it
// gave there: "Connetti" on one of them goes there, with the operator's
// credentials, and while the listing is fresh chooses among those endpoints
// without asking again.
constexpr int KnownEndpointsMs = 120000;
struct RememberedServer {
    Target address;
    std::vector<EndpointDescription> endpoints; // empty once the listing is older than KnownEndpointsMs
};
void rememberServers(const Target &node, const std::vector<FoundServer> &servers);
std::optional<RememberedServer> rememberedServer(const Target &node, const QString &serverUri);
// For tests: the listings age this much more.
void ageRememberedServers(qint64 ms);

} // namespace opc::ua
