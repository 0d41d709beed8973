// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/errors.h"
#include "opc/value.h"

#include <QDateTime>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

// The objects of the OPC Data Access automation interface. Every member that
// fails throws opc::OpcError with the status code. Objects are shared: the
// last reference that goes releases the object.
namespace OPCAutomation {

class OPCServer;
class OPCGroups;
class OPCGroup;
class OPCItems;
class OPCItem;
class OPCBrowser;

using ServerPtr = std::shared_ptr<OPCServer>;
using GroupsPtr = std::shared_ptr<OPCGroups>;
using GroupPtr = std::shared_ptr<OPCGroup>;
using ItemsPtr = std::shared_ptr<OPCItems>;
using ItemPtr = std::shared_ptr<OPCItem>;
using BrowserPtr = std::shared_ptr<OPCBrowser>;
using Value = opc::Value;

enum OPCDataSource : int16_t { OPCCache = 1, OPCDevice = 2 };
enum OPCServerState : int32_t {
    OPCRunning = 1,
    OPCFailed = 2,
    OPCNoconfig = 3,
    OPCSuspended = 4,
    OPCTest = 5,
    OPCDisconnected = 6
};

// An array passed by the client, with its lower bound (1 for server handles).
struct HandleArray {
    int32_t lowerBound = 1;
    std::vector<int32_t> values;
};

class OPCServer {
public:
    virtual ~OPCServer() = default;
    // A one-dimensional array of program identifiers.
    virtual Value GetOPCServers(const QString &node) = 0;
    virtual void Connect(const QString &progId, const QString &node) = 0;
    virtual void Disconnect() = 0;
    virtual GroupsPtr OPCGroups() = 0;
    virtual BrowserPtr CreateBrowser() = 0;

    virtual QString ServerName() = 0;
    virtual QString ServerNode() = 0;
    virtual QString VendorInfo() = 0;
    virtual QDateTime StartTime() = 0;
    virtual QDateTime CurrentTime() = 0;
    virtual QDateTime LastUpdateTime() = 0;
    virtual int16_t MajorVersion() = 0;
    virtual int16_t MinorVersion() = 0;
    virtual int16_t BuildNumber() = 0;
    virtual int32_t ServerState() = 0;
    virtual int32_t LocaleID() = 0;
    virtual int32_t Bandwidth() = 0;
};

class OPCGroups {
public:
    virtual ~OPCGroups() = default;
    virtual GroupPtr Add(const QString &name) = 0;
    virtual GroupPtr GetOPCGroup(const QString &name) = 0;
    virtual int32_t Count() = 0;
    virtual GroupPtr Item(int32_t index) = 0; // 1-based
    virtual void Remove(int32_t serverHandle) = 0;
    virtual int32_t DefaultGroupUpdateRate() = 0;
    virtual bool DefaultGroupIsActive() = 0;
};

class OPCGroup {
public:
    virtual ~OPCGroup() = default;
    virtual QString Name() = 0;
    virtual int32_t UpdateRate() = 0;            // as granted by the server
    virtual void setUpdateRate(int32_t requested) = 0;
    virtual bool IsSubscribed() = 0;
    virtual void setIsSubscribed(bool on) = 0;
    virtual bool IsActive() = 0;
    virtual void setIsActive(bool on) = 0;
    virtual int32_t ClientHandle() = 0;
    virtual void setClientHandle(int32_t handle) = 0;
    virtual int32_t ServerHandle() = 0;
    virtual ItemsPtr OPCItems() = 0;
};

class OPCItems {
public:
    virtual ~OPCItems() = default;
    virtual ItemPtr AddItem(const QString &itemId, int32_t clientHandle) = 0;
    virtual int32_t Count() = 0;
    virtual ItemPtr Item(int32_t index) = 0; // 1-based, in the order of adding
    // Per-item failures go to errors (same bounds as serverHandles), not to an exception.
    virtual void Remove(int32_t numItems, const HandleArray &serverHandles, HandleArray &errors) = 0;
};

class OPCItem {
public:
    virtual ~OPCItem() = default;
    virtual QString ItemID() = 0;
    virtual int32_t ServerHandle() = 0;
    virtual int32_t ClientHandle() = 0;
    virtual void Read(int16_t source) = 0;
    virtual Value ItemValue() = 0;   // the automation "Value" of the last read
    virtual int32_t Quality() = 0;
    virtual QDateTime TimeStamp() = 0;
    virtual int16_t CanonicalDataType() = 0;
    virtual void Write(const Value &value) = 0;
};

class OPCBrowser {
public:
    virtual ~OPCBrowser() = default;
    virtual void ShowBranches() = 0;
    virtual void ShowLeafs(bool flat = false) = 0;
    virtual int32_t Count() = 0;
    virtual QString Item(int32_t index) = 0; // 1-based
    virtual void MoveToRoot() = 0;
    virtual void MoveDown(const QString &branch) = 0;
    virtual void MoveUp() = 0;
    virtual QString GetItemID(const QString &leaf) = 0;
};

// "A new OPCServer object". The built-in simulation server unless replaced.
ServerPtr NewOPCServer();
using ServerFactory = std::function<ServerPtr()>;
// Replaces the factory (tests); an empty factory restores the default.
void SetServerFactory(ServerFactory factory);
void SetDefaultServerFactory(ServerFactory factory);

} // namespace OPCAutomation
