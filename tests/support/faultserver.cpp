// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/faultserver.h"

#include "opc/sim/simserver.h"

#include <algorithm>

namespace testsupport {

using namespace OPCAutomation;
using opc::OpcError;
using Plan = std::shared_ptr<FaultPlan>;

// A logged name may carry an argument after ':' ("OPCBrowser.MoveDown:Plant");
// a failure named without one matches any argument.
void FaultPlan::hit(const QString &n)
{
    log.push_back(n);
    ++calls;
    if (tripped && disconnectLike)
        throw OpcError(code);
    const bool byIndex = failAt > 0 && calls == failAt;
    const auto matches = [this](const QString &logged) {
        return logged == failName || logged.section(QLatin1Char(':'), 0, 0) == failName;
    };
    const bool byName = !failName.isEmpty() && matches(n) &&
                        std::count_if(log.cbegin(), log.cend(), matches) == failNameOccurrence;
    if (byIndex || byName) {
        tripped = true;
        throw OpcError(code);
    }
}

namespace {

class FItem final : public OPCItem {
public:
    FItem(Plan p, ItemPtr i) : m_p(std::move(p)), m_i(std::move(i)) {}
    QString ItemID() override { m_p->hit("OPCItem.ItemID"); return m_i->ItemID(); }
    int32_t ServerHandle() override { m_p->hit("OPCItem.ServerHandle"); return m_i->ServerHandle(); }
    int32_t ClientHandle() override { m_p->hit("OPCItem.ClientHandle"); return m_i->ClientHandle(); }
    void Read(int16_t source) override { m_p->hit("OPCItem.Read"); m_i->Read(source); }
    Value ItemValue() override { m_p->hit("OPCItem.Value"); return m_i->ItemValue(); }
    int32_t Quality() override { m_p->hit("OPCItem.Quality"); return m_i->Quality(); }
    QDateTime TimeStamp() override { m_p->hit("OPCItem.TimeStamp"); return m_i->TimeStamp(); }
    int16_t CanonicalDataType() override { m_p->hit("OPCItem.CanonicalDataType"); return m_i->CanonicalDataType(); }
    void Write(const Value &v) override { m_p->hit("OPCItem.Write"); m_i->Write(v); }

private:
    Plan m_p;
    ItemPtr m_i;
};

class FItems final : public OPCItems {
public:
    FItems(Plan p, ItemsPtr i) : m_p(std::move(p)), m_i(std::move(i)) {}
    ItemPtr AddItem(const QString &id, int32_t ch) override
    {
        m_p->hit("OPCItems.AddItem");
        return std::make_shared<FItem>(m_p, m_i->AddItem(id, ch));
    }
    int32_t Count() override { m_p->hit("OPCItems.Count"); return m_i->Count(); }
    ItemPtr Item(int32_t index) override
    {
        m_p->hit("OPCItems.Item");
        return std::make_shared<FItem>(m_p, m_i->Item(index));
    }
    void Remove(int32_t n, const HandleArray &h, HandleArray &e) override
    {
        m_p->hit("OPCItems.Remove");
        m_i->Remove(n, h, e);
    }

private:
    Plan m_p;
    ItemsPtr m_i;
};

class FGroup final : public OPCGroup {
public:
    FGroup(Plan p, GroupPtr g) : m_p(std::move(p)), m_g(std::move(g)) {}
    QString Name() override { m_p->hit("OPCGroup.Name"); return m_g->Name(); }
    int32_t UpdateRate() override { m_p->hit("OPCGroup.UpdateRate"); return m_g->UpdateRate(); }
    void setUpdateRate(int32_t r) override { m_p->hit("OPCGroup.setUpdateRate"); m_g->setUpdateRate(r); }
    bool IsSubscribed() override { m_p->hit("OPCGroup.IsSubscribed"); return m_g->IsSubscribed(); }
    void setIsSubscribed(bool on) override { m_p->hit("OPCGroup.setIsSubscribed"); m_g->setIsSubscribed(on); }
    bool IsActive() override { m_p->hit("OPCGroup.IsActive"); return m_g->IsActive(); }
    void setIsActive(bool on) override { m_p->hit("OPCGroup.setIsActive"); m_g->setIsActive(on); }
    int32_t ClientHandle() override { m_p->hit("OPCGroup.ClientHandle"); return m_g->ClientHandle(); }
    void setClientHandle(int32_t h) override { m_p->hit("OPCGroup.setClientHandle"); m_g->setClientHandle(h); }
    int32_t ServerHandle() override { m_p->hit("OPCGroup.ServerHandle"); return m_g->ServerHandle(); }
    ItemsPtr OPCItems() override
    {
        m_p->hit("OPCGroup.OPCItems");
        return std::make_shared<FItems>(m_p, m_g->OPCItems());
    }

private:
    Plan m_p;
    GroupPtr m_g;
};

class FGroups final : public OPCGroups {
public:
    FGroups(Plan p, GroupsPtr g) : m_p(std::move(p)), m_g(std::move(g)) {}
    GroupPtr Add(const QString &name) override
    {
        m_p->hit("OPCGroups.Add");
        return std::make_shared<FGroup>(m_p, m_g->Add(name));
    }
    GroupPtr GetOPCGroup(const QString &name) override
    {
        m_p->hit("OPCGroups.GetOPCGroup");
        return std::make_shared<FGroup>(m_p, m_g->GetOPCGroup(name));
    }
    int32_t Count() override { m_p->hit("OPCGroups.Count"); return m_g->Count(); }
    GroupPtr Item(int32_t i) override
    {
        m_p->hit("OPCGroups.Item");
        return std::make_shared<FGroup>(m_p, m_g->Item(i));
    }
    void Remove(int32_t h) override { m_p->hit("OPCGroups.Remove"); m_g->Remove(h); }
    int32_t DefaultGroupUpdateRate() override { m_p->hit("OPCGroups.DefaultGroupUpdateRate"); return m_g->DefaultGroupUpdateRate(); }
    bool DefaultGroupIsActive() override { m_p->hit("OPCGroups.DefaultGroupIsActive"); return m_g->DefaultGroupIsActive(); }

private:
    Plan m_p;
    GroupsPtr m_g;
};

class FBrowser final : public OPCBrowser {
public:
    FBrowser(Plan p, BrowserPtr b) : m_p(std::move(p)), m_b(std::move(b)) {}
    void ShowBranches() override { m_p->hit("OPCBrowser.ShowBranches"); m_b->ShowBranches(); }
    void ShowLeafs(bool flat) override { m_p->hit("OPCBrowser.ShowLeafs"); m_b->ShowLeafs(flat); }
    int32_t Count() override { m_p->hit("OPCBrowser.Count"); return m_b->Count(); }
    QString Item(int32_t i) override { m_p->hit("OPCBrowser.Item"); return m_b->Item(i); }
    void MoveToRoot() override { m_p->hit("OPCBrowser.MoveToRoot"); m_b->MoveToRoot(); }
    void MoveDown(const QString &b) override
    {
        m_p->hit(QStringLiteral("OPCBrowser.MoveDown:") + b);
        m_b->MoveDown(b);
    }
    void MoveUp() override { m_p->hit("OPCBrowser.MoveUp"); m_b->MoveUp(); }
    QString GetItemID(const QString &leaf) override { m_p->hit("OPCBrowser.GetItemID"); return m_b->GetItemID(leaf); }

private:
    Plan m_p;
    BrowserPtr m_b;
};

class FServer final : public OPCServer {
public:
    FServer(Plan p, ServerPtr s) : m_p(std::move(p)), m_s(std::move(s)) {}
    Value GetOPCServers(const QString &node) override
    {
        m_p->hit("OPCServer.GetOPCServers");
        if (m_p->serversOverride)
            return *m_p->serversOverride;
        return m_s->GetOPCServers(node);
    }
    void Connect(const QString &id, const QString &node) override { m_p->hit("OPCServer.Connect"); m_s->Connect(id, node); }
    void Disconnect() override { m_p->hit("OPCServer.Disconnect"); m_s->Disconnect(); }
    GroupsPtr OPCGroups() override
    {
        m_p->hit("OPCServer.OPCGroups");
        return std::make_shared<FGroups>(m_p, m_s->OPCGroups());
    }
    BrowserPtr CreateBrowser() override
    {
        m_p->hit("OPCServer.CreateBrowser");
        auto inner = m_s->CreateBrowser();
        if (m_p->noBrowser)
            return nullptr;
        return std::make_shared<FBrowser>(m_p, inner);
    }
    QString ServerName() override { m_p->hit("OPCServer.ServerName"); return m_s->ServerName(); }
    QString ServerNode() override { m_p->hit("OPCServer.ServerNode"); return m_s->ServerNode(); }
    QString VendorInfo() override { m_p->hit("OPCServer.VendorInfo"); return m_s->VendorInfo(); }
    QDateTime StartTime() override { m_p->hit("OPCServer.StartTime"); return m_s->StartTime(); }
    QDateTime CurrentTime() override { m_p->hit("OPCServer.CurrentTime"); return m_s->CurrentTime(); }
    QDateTime LastUpdateTime() override { m_p->hit("OPCServer.LastUpdateTime"); return m_s->LastUpdateTime(); }
    int16_t MajorVersion() override { m_p->hit("OPCServer.MajorVersion"); return m_s->MajorVersion(); }
    int16_t MinorVersion() override { m_p->hit("OPCServer.MinorVersion"); return m_s->MinorVersion(); }
    int16_t BuildNumber() override { m_p->hit("OPCServer.BuildNumber"); return m_s->BuildNumber(); }
    int32_t ServerState() override { m_p->hit("OPCServer.ServerState"); return m_s->ServerState(); }
    int32_t LocaleID() override { m_p->hit("OPCServer.LocaleID"); return m_s->LocaleID(); }
    int32_t Bandwidth() override { m_p->hit("OPCServer.Bandwidth"); return m_s->Bandwidth(); }

private:
    Plan m_p;
    ServerPtr m_s;
};

} // namespace

ServerPtr faultyServer(std::shared_ptr<FaultPlan> plan, ServerPtr inner)
{
    return std::make_shared<FServer>(std::move(plan), std::move(inner));
}

FaultyComponent::FaultyComponent() : plan(std::make_shared<FaultPlan>())
{
    SetServerFactory([p = plan]() -> ServerPtr {
        if (p->createFails)
            throw OpcError(*p->createFails);
        p->hit("NewOPCServer");
        return faultyServer(p, opc::sim::newSimulationServer());
    });
}

FaultyComponent::~FaultyComponent() { SetServerFactory({}); }

} // namespace testsupport
