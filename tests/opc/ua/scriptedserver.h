// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// A whole OPC UA server of the tests' own making, over None only: sessions,
// reads, browsing, subscriptions and the publish loop, each of which can be
// told to fail the way networks and servers fail (go silent, reset, close
// every session, skip sequence numbers, refuse to modify, answer browsing
// whole or without end). It serves on a thread of its own.
#include "fakeserver.h"

#include <QElapsedTimer>
#include <deque>
#include <map>
#include <set>

class ScriptedServer : public ThreadedServer {
public:
    static constexpr const char *Uri = "urn:quorivo:scripted";

    // What it does; change any of it while it serves, through set().
    struct Script {
        bool silent = false;            // takes every byte, answers nothing (connections stay open)
        int resetAfterPublishes = 0;    // resets each connection after this many Publish answers
        uint32_t maxItemsPerCall = 0;   // MaxMonitoredItemsPerCall (0: no limit)
        int closeAfterItemCalls = 0;    // closes a connection at its n-th CreateMonitoredItems
        bool closeEverySession = false; // answers every Publish BadSessionClosed, the session gone
        uint32_t sequenceStep = 1;      // how far each notification's sequence number moves on
        int republishDelayMs = -1;      // answers Republish BadMessageNotAvailable this late (-1: never)
        bool refuseModify = false;      // ModifySubscription answered BadUserAccessDenied
        int createSubscriptionDelayMs = 0;
        bool ignoreDelete = false;      // DeleteSubscriptions answered Good, the subscriptions kept
        enum class Browse { Paged, Whole, Endless } browse = Browse::Paged;
        int bigFolder = 2000;           // variables in the folder "Big"
        int nameLength = 8;             // their names' length, at least (padded with 'x')
        int endlessPage = 1000;         // references per answer of the folder "Endless"
        uint32_t keepAliveCount = 10;   // the most it grants
        QString applicationUri = QString::fromLatin1(Uri);
        double valueBase = 0;           // added to every value it serves
        // Its answer to FindServers, as a discovery server's; itself alone
        // when empty.
        std::vector<opc::ua::ApplicationDescription> servers;
        // How long each answer but Publish's is held, as a long link holds
        // it, and how long a BrowseNext that gives points back.
        int answerDelayMs = 0;
        int activateDelayMs = 0;        // ActivateSession done this late, later requests served meanwhile
        int releaseDelayMs = 0;
        // A small plant below the top, beside Big and Endless:
        //   Plant/Area1/{Line1/{Speed, Load}, T1, T2, Motor/{Current, Torque}}, Plant/Area2
        // Line1's node id and name can change while it serves.
        bool plant = false;
        QString lineNodeId = QStringLiteral("Plant.Area1.Line1");
        QString lineName = QStringLiteral("Line1");
    };

    struct Counts {
        int sessions = 0;
        int publishes = 0;       // Publish requests received
        int republishes = 0;     // Republish requests received
        int maxRepublishing = 0; // the most under way at once for one subscription
        int subscriptionsMade = 0;
        int releasedPoints = 0;  // continuation points given back
        int browseNexts = 0;
        int itemCalls = 0;       // CreateMonitoredItems requests
        int connections = 0;
        int reads = 0;           // Read requests
        int opens = 0;           // OpenSecureChannel requests
        std::map<uint32_t, int> requests; // by the request's type id (points given back left out)
        // Waits of the client: requests that came while no other (but
        // Publish, or a BrowseNext that gives points back) was unanswered.
        // Requests sent together count once, with answers held a while.
        int roundTrips = 0;
        int releasesReceived = 0; // BrowseNexts that give points back
        int releasesAnswered = 0;
        int requestsOf(uint32_t typeId) const
        {
            const auto it = requests.find(typeId);
            return it == requests.end() ? 0 : it->second;
        }
        size_t liveSubscriptions = 0;
        size_t monitoredItems = 0; // in every live subscription
    };

    ScriptedServer();
    explicit ScriptedServer(const Script &script);
    ~ScriptedServer();

    void set(const std::function<void(Script &)> &change);
    Counts counts();
    // Ends every subscription: each says so (BadTimeout) in its next answer.
    void endSubscriptions();
    // Resets every connection now.
    void resetAll();
    QString endpoint() const { return QString::fromLatin1(Uri) + QStringLiteral(" (None, None)"); }

private:
    struct Connection;
    struct Subscription {
        uint32_t id = 0;
        uint32_t session = 0;
        double interval = 0;
        uint32_t keepAliveCount = 10;
        uint32_t sequence = 0;
        qint64 due = 0;
        uint32_t idle = 0;
        bool ended = false;   // to say so once
        bool deleted = false; // by the client, while ignoreDelete keeps it
        bool announced = false; // its CreateSubscription answered: it may publish
        std::map<uint32_t, uint32_t> items; // monitored item id -> client handle
        int republishing = 0;
    };
    struct Session {
        uint32_t id = 0;
        bool activated = false;
        std::deque<std::pair<Connection *, std::pair<uint32_t, uint32_t>>> publishes; // connection, (request id, handle)
    };
    struct Request {
        uint32_t typeId = 0;
        uint32_t session = 0; // by its token
        uint32_t handle = 0;
    };

    void serve(QTcpSocket *socket);
    void onChunk(Connection *c, const QByteArray &chunk);
    void onMessage(Connection *c, uint32_t requestId, const QByteArray &body);
    void serveMessage(Connection *c, uint32_t requestId, const QByteArray &body);
    void answer(Connection *c, uint32_t requestId, const Request &r, uint32_t typeId, uint32_t status,
                const std::function<void(opc::ua::Encoder &)> &body = {});
    void fault(Connection *c, uint32_t requestId, const Request &r, uint32_t status);
    void read(Connection *c, uint32_t requestId, const Request &r, opc::ua::Decoder &d);
    void browse(Connection *c, uint32_t requestId, const Request &r, opc::ua::Decoder &d, bool next);
    void subscriptionService(Connection *c, uint32_t requestId, const Request &r, opc::ua::Decoder &d);
    void tick();
    bool sendPublish(Session &s, Subscription &sub, bool keepAlive);
    void drop(Connection *c, bool reset);
    opc::ua::DataValue valueOf(const Subscription &sub) const;

    Script m_script;
    Counts m_counts;
    std::map<uint32_t, Session> m_sessions;
    std::map<uint32_t, Subscription> m_subscriptions;
    std::set<Connection *> m_connections;
    uint32_t m_nextSession = 1, m_nextSubscription = 1, m_nextItem = 1;
    QElapsedTimer m_clock;
    QTimer *m_ticker = nullptr;
    uint64_t m_ticks = 0;
    int m_unanswered = 0; // requests held, by answerDelayMs
};
