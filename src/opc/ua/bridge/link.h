// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/errors.h"
#include "opc/value.h"
#include "opc/ua/client/client.h"
#include "opc/ua/client/types.h"

#include <QDateTime>
#include <QString>
#include <array>
#include <map>
#include <memory>
#include <vector>

// The bridge's hold on one connected server: the worker and its client,
// and the groups and items the automation objects see. Every call from the
// window's thread goes through here and waits for the worker's answer.
namespace opc::ua {

constexpr int CallTimeoutMs = 5000;
constexpr int ConnectTimeoutMs = 10000;
constexpr int32_t DefaultRate = 1000;

struct ItemState {
    QString itemId;
    NodeId nodeId;
    uint32_t handle = 0;
    int32_t clientHandle = 0;
    int16_t canonical = 0;
    BuiltIn writeType = BuiltIn::Null;
    bool isArray = false;
    bool removed = false;
    // Values that need the server's types (structures, enumerations) or a
    // text of their own: the data type and its place in the link's type
    // table, learned again when the session's types are.
    NodeId dataType;
    int32_t valueRank = -1;
    int type = -1;
    int typesGeneration = -1;
    std::optional<Variant> shown; // the raw value the text was made of
    QString locale;               // a LocalizedText's, as the server holds it
    opc::Value value;
    int32_t quality = 0;
    QDateTime timestamp;
};

struct GroupState {
    QString name;
    uint32_t key = 0;
    // The rate the group was given, and what the server granted once its
    // subscription exists: it is made when first needed (subscribed, a
    // first item, or the granted rate read), at the rate given by then.
    int32_t requestedRate = DefaultRate;
    int32_t grantedRate = 0;
    bool onServer = false;
    bool active = true;
    bool subscribed = false;
    int32_t clientHandle = 0;
    bool removed = false;
    std::vector<std::shared_ptr<ItemState>> items;
};

struct Link {
    std::unique_ptr<Worker> worker;
    Client *client = nullptr; // lives on the worker
    Target target;
    QString serverId;
    bool alive = false;
    uint32_t nextHandle = 1;
    std::map<QString, uint32_t> builtInTypes; // data type node id -> built-in type id, as resolved
    int typesLearnedAt = 0;                   // the reconnect count they belong to (indexes may change)
    std::vector<std::shared_ptr<GroupState>> groups;
    int unnamed = 0;
    std::unique_ptr<TypeResolver> resolver;
    int typesGeneration = 0;
    int typesLearnedAtReconnect = -1;
    // The type table as values shown from it read it later, copied again
    // only when something was learned since.
    std::shared_ptr<const TypeTable> shownTable;
    std::array<int, 3> shownTableAt{-1, -1, -1}; // generation, round trips, size

    ~Link();
    void close();
    // Throws E_FAIL once the link is closed.
    void check() const;
    // Runs a client operation on the worker and waits for its end.
    int32_t run(int timeoutMs, std::function<void(Client &, std::function<void(int32_t)>)> op);
    // One service call: its error number and the response message. The
    // body holds what it writes: a call the server's closed session meets is
    // written again, on the worker, maybe after this has given up waiting.
    std::pair<int32_t, QByteArray> service(uint32_t typeId, std::function<void(Encoder &)> body,
                                           int timeoutMs = CallTimeoutMs);
    // The same, sent now and waited for later.
    using PendingService = Worker::Pending<std::pair<int32_t, QByteArray>>;
    PendingService startService(uint32_t typeId, std::function<void(Encoder &)> body, int timeoutMs = CallTimeoutMs);
    // A service call whose answer nothing waits for: sent from this thread
    // when the session can take it, its answer dropped. Nothing when closed.
    void post(uint32_t typeId, std::function<void(Encoder &)> body) noexcept;
    // Reads attributes, in as many requests as the server's limit asks;
    // each result's data value, or throws the call's error.
    std::vector<DataValue> read(const std::vector<ReadValueId> &ids);
    // A read sent now, in one request, whose values are taken later (see
    // readValues); nothing when the server reads fewer nodes a request.
    std::optional<PendingService> startRead(const std::vector<ReadValueId> &ids);
    static std::vector<DataValue> readValues(PendingService &pending, size_t count);
    // The built-in type a data type stands on: a built-in type itself,
    // Enumeration (29) for every enumeration, or 0 for structures and
    // abstract types. Derived types (Duration, UtcTime, a server's own
    // enumerations...) are followed up their supertypes.
    uint32_t builtInTypeOf(const NodeId &dataType);
    // Item ids are node ids, "ns=<index>;..." or "nsu=<uri>;...".
    NodeId itemNodeId(const QString &itemId);

    // The session's types, learned afresh after a reconnection (the
    // namespace table may have changed).
    TypeResolver &types();
    // What an item's value shows (a structure, an enumeration, a matrix, a
    // status code... as their one text form; others as the automation
    // interface holds them). A value like the last one costs nothing.
    opc::Value present(ItemState &item, const Variant &value);
    // The value a text written to the item stands for, by its type; throws
    // DISP_E_TYPEMISMATCH, before anything is sent, for a text that does
    // not fit. Nothing when the item's type needs no such help.
    std::optional<Variant> typedWrite(ItemState &item, const QString &text);

private:
    // The table the texts of values shown now are made by.
    std::shared_ptr<const TypeTable> shownTypes();
    std::vector<DataValue> readBatch(const std::vector<ReadValueId> &ids);
    static std::function<void(Encoder &)> readBody(const std::vector<ReadValueId> &ids);
    // The item's place in the type table of this session.
    int typeOfItem(ItemState &item);
    uint32_t remember(const std::vector<QString> &types, uint32_t builtIn);
};
using LinkPtr = std::shared_ptr<Link>;

// The rate a server granted, as the automation interface holds it; the
// requested one when the server's figure is no number.
int32_t grantedRateOf(double revised, int32_t requested);
// A requested rate as the server is asked it: a negative one read unsigned,
// as the automation interface passes it on.
double rateAsked(int32_t requested);

// What a group and its item collection share: the link and the group's
// state, both checked before every use.
class GroupBound {
protected:
    GroupBound(LinkPtr link, std::shared_ptr<GroupState> group) : m_link(std::move(link)), m_g(std::move(group)) {}
    GroupState &check();
    // The group's subscription, made now at the rate it was given if it
    // is not made yet.
    void subscribe(GroupState &g);
    // The rate it was given asked of the server: the subscription made at
    // it, or changed to it; what the server granted is kept.
    void askRate(GroupState &g);
    LinkPtr m_link;
    std::shared_ptr<GroupState> m_g;
};

} // namespace opc::ua
