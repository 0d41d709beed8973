// SPDX-License-Identifier: GPL-3.0-or-later
// Contract of the automation interface. Every backend runs it as a data row.
#include "opc/automation.h"
#include "opc/sim/simserver.h"
#include "app/routingserver.h"
#include "support/fakeclock.h"
#include "ua/uapeer.h"

#include "support/expect.h"

#include <QScopeGuard>
#include <QTest>

using namespace OPCAutomation;
using opc::OpcError;
using opc::Value;
namespace S = opc::Status;

namespace {

struct Backend {
    QString name;
    std::function<ServerPtr()> make;
    QString node;        // the node that reaches it
    QString progId;      // a program identifier it lists
    QString unreachable; // a node of its kind that does not answer
    bool simulated;      // runs on the program's clock, with the simulation's address space
    std::function<QString(const char *)> item; // the item id of a contract item
};

// The OPC UA row runs against the node-opcua peer, started once.
UaPeer &peer()
{
    static UaPeer p;
    return p;
}

std::vector<Backend> backends()
{
    return {{QStringLiteral("simulation"), &opc::sim::newSimulationServer, QString(), QString::fromLatin1(opc::sim::ProgId),
             QStringLiteral("no-such-node.invalid"), true, [](const char *id) { return QString::fromLatin1(id); }},
            {QStringLiteral("opc ua"), [] { return quorivo::newRoutingServer(&opc::sim::newSimulationServer); }, peer().url(),
             QStringLiteral("urn:quorivo:peer"), QStringLiteral("opc.tcp://no-such-node.invalid:4840"), false,
             [](const char *id) { return QStringLiteral("ns=1;s=") + QString::fromLatin1(id); }}};
}

} // namespace

class TestContract : public QObject {
    Q_OBJECT

    Backend m_backend;
    ServerPtr connected()
    {
        auto server = m_backend.make();
        server->Connect(m_backend.progId, m_backend.node);
        return server;
    }

    void backendRows(bool simulatedOnly = false)
    {
        QTest::addColumn<int>("backend");
        const auto all = backends();
        for (size_t i = 0; i < all.size(); ++i)
            if (all[i].simulated || !simulatedOnly)
                QTest::newRow(qPrintable(all[i].name)) << static_cast<int>(i);
    }
    // Tests that lean on the program's clock or the simulation's address space.
    void simulationRows() { backendRows(true); }
    // A table row of one backend, named after it, its backend column filled.
    static QTestData &backendRow(size_t backend, const char *name)
    {
        return QTest::newRow(qPrintable(backends()[backend].name + QLatin1Char(' ') + QLatin1String(name)))
               << static_cast<int>(backend);
    }

private slots:
    // Every test has the backend column: the row picks the backend.
    void init()
    {
        QFETCH(int, backend);
        m_backend = backends()[static_cast<size_t>(backend)];
        if (!m_backend.simulated)
            REQUIRE_PEER(peer());
    }

    void listsItsServers_data() { backendRows(); }
    void listsItsServers()
    {
        auto server = m_backend.make();
        const Value list = server->GetOPCServers(m_backend.node);
        QVERIFY(list.isArray());
        QStringList ids;
        for (const Value &v : list.elements())
            ids << v.string();
        QVERIFY(ids.contains(m_backend.progId));
        EXPECT_FAILS(server->GetOPCServers(m_backend.unreachable), S::RPC_S_SERVER_UNAVAILABLE);
    }

    void connectsAndReportsStatus_data() { backendRows(); }
    void connectsAndReportsStatus()
    {
        testsupport::ManualClock clock;
        auto server = m_backend.make();
        QCOMPARE(server->ServerState(), int32_t(OPCDisconnected));
        EXPECT_FAILS(server->ServerName(), S::E_FAIL);
        EXPECT_FAILS(server->OPCGroups(), S::E_FAIL);
        EXPECT_FAILS(server->Connect(QStringLiteral(" "), m_backend.node), S::CO_E_CLASSSTRING);
        EXPECT_FAILS(server->Connect(m_backend.progId, m_backend.unreachable), S::RPC_S_SERVER_UNAVAILABLE);
        server->Connect(m_backend.progId, m_backend.node);
        QCOMPARE(server->ServerState(), int32_t(OPCRunning));
        QCOMPARE(server->ServerName(), m_backend.progId);
        if (!m_backend.simulated) {
            QVERIFY(!server->VendorInfo().isEmpty());
            QCOMPARE(server->Bandwidth(), -1);
            server->Disconnect();
            QCOMPARE(server->ServerState(), int32_t(OPCDisconnected));
            EXPECT_FAILS(server->Disconnect(), S::E_FAIL);
            return;
        }
        QCOMPARE(server->ServerNode(), QString());
        QCOMPARE(server->MajorVersion(), int16_t(1));
        QCOMPARE(server->Bandwidth(), -1);
        QVERIFY(!server->VendorInfo().isEmpty());
        QCOMPARE(server->LastUpdateTime().toLocalTime().date(), QDate(1899, 12, 30));
        const QDateTime first = server->CurrentTime();
        clock.advance(5000);
        QCOMPARE(server->CurrentTime(), first.addMSecs(5000));
        QCOMPARE(server->StartTime(), first);
        server->Disconnect();
        QCOMPARE(server->ServerState(), int32_t(OPCDisconnected));
        EXPECT_FAILS(server->Disconnect(), S::E_FAIL);
    }

    void groupNameRules_data() { backendRows(); }
    void groupNameRules()
    {
        auto server = connected();
        auto groups = server->OPCGroups();
        QCOMPARE(groups->DefaultGroupUpdateRate(), 1000);
        auto g = groups->Add(QStringLiteral("Gruppo1"));
        QVERIFY(g->IsActive());
        QVERIFY(!g->IsSubscribed());
        QCOMPARE(g->UpdateRate(), 1000);
        EXPECT_FAILS(groups->Add(QStringLiteral("Gruppo1")), S::OPC_E_DUPLICATENAME);
        auto a = groups->Add(QString());
        auto b = groups->Add(QString());
        QVERIFY(!a->Name().isEmpty());
        QVERIFY(a->Name() != b->Name());
        QCOMPARE(groups->Count(), 3);
        QCOMPARE(groups->Item(1)->Name(), QStringLiteral("Gruppo1"));
        EXPECT_FAILS(groups->Item(4), S::E_INVALIDARG);
        EXPECT_FAILS(groups->GetOPCGroup(QStringLiteral("nessuno")), S::E_INVALIDARG);
        EXPECT_FAILS(groups->Remove(-12345), S::E_INVALIDARG);
        groups->Remove(g->ServerHandle());
        QCOMPARE(groups->Count(), 2);
        EXPECT_FAILS(g->Name(), S::E_FAIL);
        groups->Add(QStringLiteral("Gruppo1")); // the name is free again
    }

    void ratesAreRevised_data()
    {
        QTest::addColumn<int>("backend");
        QTest::addColumn<int>("requested");
        QTest::addColumn<int>("granted");
        // The simulation grants 10 ms steps from 10 ms up; the peer revises
        // a publishing interval into 50 ms to one minute.
        const struct {
            const char *name;
            int requested, simulation, ua;
        } table[] = {{"0", 0, 10, 50},
                     {"-50 as unsigned", -50, 2147483647, 60000},
                     {"5", 5, 10, 50},
                     {"1000", 1000, 1000, 1000},
                     {"max", 2147483647, 2147483647, 60000}};
        for (size_t i = 0; i < backends().size(); ++i)
            for (const auto &row : table)
                backendRow(i, row.name) << row.requested << (backends()[i].simulated ? row.simulation : row.ua);
    }
    void ratesAreRevised()
    {
        QFETCH(int, requested);
        QFETCH(int, granted);
        auto server = connected();
        auto group = server->OPCGroups()->Add(QStringLiteral("g"));
        group->setUpdateRate(requested);
        QCOMPARE(group->UpdateRate(), granted);
    }

    void itemIdErrors_data()
    {
        QTest::addColumn<int>("backend");
        QTest::addColumn<QString>("itemId");
        QTest::addColumn<int>("error");
        const struct {
            const char *name, *itemId;
            int error;
        } simulation[] = {{"empty", "", S::OPC_E_INVALIDITEMID},
                          {"blank", " ", S::OPC_E_INVALIDITEMID},
                          {"leading blank", " Random.Int4", S::OPC_E_INVALIDITEMID},
                          {"trailing blank", "Random.Int4 ", S::OPC_E_INVALIDITEMID},
                          {"empty segment", "Random..Int4", S::OPC_E_INVALIDITEMID},
                          {"trailing dot", "Random.Int4.", S::OPC_E_INVALIDITEMID},
                          {"unknown leaf", "Random.Nope", S::OPC_E_UNKNOWNITEMID},
                          {"a branch", "Random", S::OPC_E_UNKNOWNITEMID},
                          {"known", "Plant.Area1.Line1.Tank1.Level", 0}},
          ua[] = {{"empty", "", S::OPC_E_INVALIDITEMID},
                  {"blank", " ", S::OPC_E_INVALIDITEMID},
                  {"no kind", "ns=1;Random.Int4", S::OPC_E_INVALIDITEMID},
                  {"unknown kind", "ns=1;x=Random.Int4", S::OPC_E_INVALIDITEMID},
                  {"numeric not a number", "ns=1;i=abc", S::OPC_E_INVALIDITEMID},
                  {"unknown node", "ns=1;s=Random.Nope", S::OPC_E_UNKNOWNITEMID},
                  {"unknown namespace index", "ns=99;s=Random.Int4", S::OPC_E_UNKNOWNITEMID},
                  {"unknown namespace uri", "nsu=urn:nobody;s=Random.Int4", S::OPC_E_UNKNOWNITEMID},
                  {"a folder", "ns=1;s=Quorivo", S::OPC_E_UNKNOWNITEMID},
                  {"the objects folder", "i=85", S::OPC_E_UNKNOWNITEMID},
                  {"known", "ns=1;s=Random.Int4", 0},
                  {"known by namespace uri", "nsu=urn:quorivo:peer;s=Random.Int4", 0},
                  {"a conformance variable", "ns=2;s=Static_Scalar_Int32", 0}};
        for (size_t i = 0; i < backends().size(); ++i) {
            const auto add = [i](const auto &table) {
                for (const auto &row : table)
                    backendRow(i, row.name) << QString::fromLatin1(row.itemId) << row.error;
            };
            if (backends()[i].simulated)
                add(simulation);
            else
                add(ua);
        }
    }
    void itemIdErrors()
    {
        QFETCH(QString, itemId);
        QFETCH(int, error);
        auto server = connected();
        auto items = server->OPCGroups()->Add(QStringLiteral("g"))->OPCItems();
        if (error == 0) {
            QCOMPARE(items->AddItem(itemId, 7)->ItemID(), itemId);
            return;
        }
        EXPECT_FAILS(items->AddItem(itemId, 7), error);
        QCOMPARE(items->Count(), 0);
    }

    void itemsFollowTheOrderOfAdding_data() { backendRows(); }
    void itemsFollowTheOrderOfAdding()
    {
        auto server = connected();
        auto items = server->OPCGroups()->Add(QStringLiteral("g"))->OPCItems();
        auto a = items->AddItem(m_backend.item("Random.Int4"), 1);
        auto b = items->AddItem(m_backend.item("Random.Int4"), 1);
        auto c = items->AddItem(m_backend.item("Waves.Sine.Real8"), 1);
        QVERIFY(a->ServerHandle() != b->ServerHandle());
        QCOMPARE(items->Count(), 3);
        HandleArray errors;
        items->Remove(1, HandleArray{1, {-777}}, errors);
        QCOMPARE(errors.lowerBound, 1);
        QCOMPARE(errors.values, std::vector<int32_t>{S::OPC_E_INVALIDHANDLE});
        QCOMPARE(items->Count(), 3);
        items->Remove(1, HandleArray{1, {a->ServerHandle()}}, errors);
        QCOMPARE(errors.values, std::vector<int32_t>{S::S_OK});
        QCOMPARE(items->Count(), 2);
        QCOMPARE(items->Item(1)->ServerHandle(), b->ServerHandle());
        QCOMPARE(items->Item(2)->ItemID(), m_backend.item("Waves.Sine.Real8"));
        EXPECT_FAILS(items->Item(3), S::E_INVALIDARG);
        EXPECT_FAILS(a->ItemID(), S::E_FAIL);
    }

    void cacheReadsFollowTheSamples_data() { simulationRows(); }
    void cacheReadsFollowTheSamples()
    {
        testsupport::ManualClock clock;
        auto server = connected();
        auto group = server->OPCGroups()->Add(QStringLiteral("g"));
        auto item = group->OPCItems()->AddItem(QStringLiteral("Random.Real8"), 1);
        item->Read(OPCCache);
        const QDateTime t0 = item->TimeStamp();
        const Value v0 = item->ItemValue();
        QCOMPARE(item->Quality(), 192);
        QCOMPARE(item->CanonicalDataType(), int16_t(opc::VT_R8));
        clock.advance(999);
        item->Read(OPCCache);
        QCOMPARE(item->TimeStamp(), t0);
        QVERIFY(item->ItemValue() == v0);
        clock.advance(1);
        item->Read(OPCCache);
        QCOMPARE(item->TimeStamp(), t0.addMSecs(1000));
        QVERIFY(!(item->ItemValue() == v0));
        group->setIsActive(false);
        clock.advance(5000);
        item->Read(OPCCache);
        QCOMPARE(item->Quality(), 28);
    }

    void writesConvertTheText_data()
    {
        QTest::addColumn<int>("backend");
        QTest::addColumn<QString>("itemId");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("readBack");
        // A UA server has no Currency type.
        const struct {
            const char *name, *itemId, *text;
            int error;
            const char *readBack;
            bool simulationOnly;
        } table[] = {{"Int1", "Registers.Int1", "-12", 0, "-12", false},
                     {"Int2 overflow", "Registers.Int2", "99999", S::DISP_E_OVERFLOW, "0", false},
                     {"Int4 mismatch", "Registers.Int4", "abc", S::DISP_E_TYPEMISMATCH, "0", false},
                     {"Int8", "Registers.Int8", "-9000000000000", 0, "-9000000000000", false},
                     {"UInt1", "Registers.UInt1", "255", 0, "255", false},
                     {"UInt2 negative", "Registers.UInt2", "-1", S::DISP_E_OVERFLOW, "0", false},
                     {"UInt4", "Registers.UInt4", "4000000000", 0, "4000000000", false},
                     {"UInt8", "Registers.UInt8", "18000000000000000000", 0, "18000000000000000000", false},
                     {"Real4", "Registers.Real4", "1.5", 0, "1.5", false},
                     {"Real8", "Registers.Real8", "-2.25e3", 0, "-2250", false},
                     {"Money", "Registers.Money", "12.5", 0, "12.5", true},
                     {"String", "Registers.String", "ciao", 0, "ciao", false},
                     {"Boolean", "Registers.Boolean", "True", 0, "True", false},
                     {"Time", "Registers.Time", "3/14/2026 9:30:00 AM", 0, "3/14/2026 9:30:00 AM", false},
                     {"array", "Registers.ArrayOfInt4", "{1;2;3}", 0, "", false},
                     {"read only", "Faults.ReadOnly", "1", S::OPC_E_BADRIGHTS, "", false},
                     {"write error", "Faults.WriteError", "1", S::E_FAIL, "", false},
                     {"random is read only", "Random.Int4", "1", S::OPC_E_BADRIGHTS, "", false}};
        for (size_t i = 0; i < backends().size(); ++i)
            for (const auto &row : table)
                if (backends()[i].simulated || !row.simulationOnly)
                    backendRow(i, row.name) << backends()[i].item(row.itemId) << row.text << row.error
                                            << QString::fromLatin1(row.readBack);
    }
    void writesConvertTheText()
    {
        QFETCH(QString, itemId);
        QFETCH(QString, text);
        QFETCH(int, error);
        QFETCH(QString, readBack);
        QLocale::setDefault(QLocale(QStringLiteral("en_US")));
        const auto restoreLocale = qScopeGuard([] { QLocale::setDefault(QLocale::c()); });
        testsupport::ManualClock clock;
        auto server = connected();
        auto group = server->OPCGroups()->Add(QStringLiteral("g"));
        auto item = group->OPCItems()->AddItem(itemId, 1);
        clock.advance(10);
        const QDateTime written = QDateTime::currentDateTimeUtc();
        try {
            item->Write(Value::text(text));
            QCOMPARE(error, 0);
        } catch (const OpcError &e) {
            QCOMPARE(opc::statusName(e.code()), opc::statusName(error));
        }
        // The new value shows at the simulation's next sample; a UA
        // server is asked.
        const auto readAgain = [&] {
            if (m_backend.simulated) {
                clock.advance(1000);
                item->Read(OPCCache);
            } else {
                item->Read(OPCDevice);
            }
        };
        if (readBack.isEmpty()) {
            if (itemId.contains(QLatin1String("ArrayOf"))) {
                readAgain();
                QCOMPARE(item->ItemValue().elements().size(), size_t(3));
                QCOMPARE(opc::valueToText(item->ItemValue().elements()[2]), QStringLiteral("3"));
            }
            return;
        }
        readAgain();
        QCOMPARE(opc::valueToText(item->ItemValue()), readBack);
        QCOMPARE(item->Quality(), 192);
        if (error != 0)
            return;
        // With the write time.
        if (m_backend.simulated)
            QCOMPARE(item->TimeStamp().toMSecsSinceEpoch(), clock.nowMs() - 1000);
        else
            QVERIFY(qAbs(item->TimeStamp().msecsTo(written)) < 10000);
    }

    void readFailures_data() { backendRows(); }
    void readFailures()
    {
        auto server = connected();
        auto items = server->OPCGroups()->Add(QStringLiteral("g"))->OPCItems();
        auto writeOnly = items->AddItem(m_backend.item("Faults.WriteOnly"), 1);
        EXPECT_FAILS(writeOnly->Read(m_backend.simulated ? OPCCache : OPCDevice), S::OPC_E_BADRIGHTS);
        writeOnly->Write(Value::text(QStringLiteral("5")));
        if (m_backend.simulated) // a UA server's failed read is a bad quality
            EXPECT_FAILS(items->AddItem(QStringLiteral("Faults.ReadError"), 1)->Read(OPCCache), S::E_FAIL);
    }

    void everyQualityLeaf_data()
    {
        QTest::addColumn<int>("backend");
        QTest::addColumn<QString>("leaf");
        QTest::addColumn<int>("quality");
        enum Where { Both, SimulationOnly, UaOnly };
        // The peer's leaves carry the status codes whose qualities these are.
        const struct {
            const char *leaf;
            int quality;
            Where where;
        } table[] = {{"Good", 192, Both},          {"LocalOverride", 216, Both},      {"Uncertain", 64, Both},
                     {"LastUsable", 68, Both},     {"SensorNotAccurate", 80, UaOnly}, {"EUExceeded", 84, UaOnly},
                     {"SubNormal", 88, UaOnly},    {"Bad", 0, Both},                  {"ConfigError", 4, Both},
                     {"NotConnected", 8, Both},    {"DeviceFailure", 12, Both},       {"SensorFailure", 16, Both},
                     {"LastKnown", 20, SimulationOnly}, {"CommFailure", 24, Both},    {"OutOfService", 28, Both},
                     {"WaitingForInitialData", 32, UaOnly}, {"OtherGood", 192, UaOnly},
                     {"OtherUncertain", 64, UaOnly}, {"OtherBad", 0, UaOnly}};
        for (size_t i = 0; i < backends().size(); ++i)
            for (const auto &row : table)
                if (row.where == Both || (row.where == SimulationOnly) == backends()[i].simulated)
                    backendRow(i, row.leaf) << backends()[i].item("Qualities.") + QLatin1String(row.leaf) << row.quality;
    }
    void everyQualityLeaf()
    {
        QFETCH(QString, leaf);
        QFETCH(int, quality);
        auto server = connected();
        auto item = server->OPCGroups()->Add(QStringLiteral("g"))->OPCItems()->AddItem(leaf, 1);
        item->Read(m_backend.simulated ? OPCCache : OPCDevice);
        QCOMPARE(item->Quality(), quality);
    }

    void browserNavigation_data() { backendRows(); }
    void browserNavigation()
    {
        auto server = connected();
        auto b = server->CreateBrowser();
        b->ShowBranches();
        const QStringList top = browserListing(*b);
        QVERIFY(top.contains(QStringLiteral("Plant")));
        EXPECT_FAILS(b->Item(0), S::E_INVALIDARG);
        EXPECT_FAILS(b->Item(b->Count() + 1), S::E_INVALIDARG);
        EXPECT_FAILS(b->MoveDown(QStringLiteral("Nowhere")), S::E_INVALIDARG);
        EXPECT_FAILS(b->MoveUp(), S::E_FAIL);
        for (const char *name : {"Plant", "Area1", "Line1", "Tank1"})
            b->MoveDown(QString::fromLatin1(name));
        b->ShowLeafs();
        QVERIFY(b->Count() >= 2);
        const QString level = b->GetItemID(QStringLiteral("Level"));
        QCOMPARE(level, m_backend.item("Plant.Area1.Line1.Tank1.Level"));
        EXPECT_FAILS(b->GetItemID(QStringLiteral("Nope")), S::E_INVALIDARG);
        // What the browser names is what an item is added by.
        auto item = server->OPCGroups()->Add(QStringLiteral("g"))->OPCItems()->AddItem(level, 1);
        QCOMPARE(item->CanonicalDataType(), int16_t(opc::VT_R8));
        b->MoveUp();
        b->MoveUp();
        b->ShowLeafs(true);
        const QStringList flat = browserListing(*b);
        QVERIFY(flat.contains(m_backend.item("Plant.Area1.Line1.Pump1.Running")));
        QVERIFY(flat.contains(level));
    }

    void browsingAtScale_data() { simulationRows(); }
    void browsingAtScale()
    {
        auto server = connected();
        auto b = server->CreateBrowser();
        b->MoveDown(QStringLiteral("Scale"));
        b->MoveDown(QStringLiteral("Leaves40000"));
        b->ShowLeafs();
        QCOMPARE(b->Count(), 40000);
        QCOMPARE(b->GetItemID(b->Item(40000)), QStringLiteral("Scale.Leaves40000.") + b->Item(40000));
        b->MoveUp();
        b->MoveDown(QStringLiteral("Branches40000"));
        b->ShowBranches();
        QCOMPARE(b->Count(), 40000);
        b->MoveToRoot();
        b->MoveDown(QStringLiteral("Scale"));
        b->MoveDown(QStringLiteral("Generated"));
        for (int level = 0; level < 10; ++level) {
            b->ShowBranches();
            QCOMPARE(b->Count(), 10);
            b->MoveDown(b->Item(level % 10 + 1));
        }
        b->ShowLeafs(true);
        QCOMPARE(b->Count(), 333); // the three levels left below
        b->MoveToRoot();
        b->MoveDown(QStringLiteral("Scale"));
        b->MoveDown(QStringLiteral("Generated"));
        EXPECT_FAILS(b->ShowLeafs(true), S::E_OUTOFMEMORY); // an endless listing is refused
        QCOMPARE(b->Count(), 0);
    }

    void objectsOfAClosedConnectionFail_data() { backendRows(); }
    void objectsOfAClosedConnectionFail()
    {
        const int before = opc::sim::liveObjects();
        {
            auto server = connected();
            auto groups = server->OPCGroups();
            auto group = groups->Add(QStringLiteral("g"));
            auto items = group->OPCItems();
            auto item = items->AddItem(m_backend.item("Random.Int4"), 1);
            auto browser = server->CreateBrowser();
            server->Disconnect();
            EXPECT_FAILS(groups->Count(), S::E_FAIL);
            EXPECT_FAILS(group->Name(), S::E_FAIL);
            EXPECT_FAILS(items->Count(), S::E_FAIL);
            EXPECT_FAILS(item->Read(OPCCache), S::E_FAIL);
            EXPECT_FAILS(browser->ShowBranches(), S::E_FAIL);
            // A new connection on the same object starts empty.
            server->Connect(m_backend.progId, m_backend.node);
            QCOMPARE(server->OPCGroups()->Count(), 0);
        }
        if (m_backend.simulated)
            QCOMPARE(opc::sim::liveObjects(), before);
    }
};

QTEST_GUILESS_MAIN(TestContract)
#include "tst_contract.moc"
