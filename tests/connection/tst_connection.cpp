// SPDX-License-Identifier: GPL-3.0-or-later
#include "connection/form2.h"
#include "opc/sim/simserver.h"
#include "support/fakeclock.h"
#include "support/faultserver.h"
#include "support/fixture.h"
#include "support/messages.h"

#include <QTest>

using quorivo::Form1;
using quorivo::Form1Probe;
using quorivo::Form2;
using namespace testsupport;
namespace S = opc::Status;

namespace {
const QString Start = QStringLiteral("EEEDDDDDDDDDDD");
const QString Connected = QStringLiteral("DDDEEEEEEDDDDD");
const QString Disconnected = QStringLiteral("EEDEDDDDDDDDDD");

} // namespace

class TestConnection : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { closeAllWindows(); }

    // Each road from the start state, and the enabled controls it leaves.
    void enableRows_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("row");
        QTest::addColumn<int>("boxes");
        QTest::newRow("start") << QStringList{} << Start << 0;
        QTest::newRow("click in OPCServerList") << QStringList{"list", "pick"} << Start << 0;
        QTest::newRow("connect, success") << QStringList{"list", "pick", "connect"} << Connected << 0;
        QTest::newRow("connect, failure") << QStringList{"connect"} << Start << 1;
        QTest::newRow("disconnect") << QStringList{"list", "pick", "connect", "disconnect"} << Disconnected << 0;
        QTest::newRow("pick after disconnect") << QStringList{"list", "pick", "connect", "disconnect", "pick"}
                                               << QStringLiteral("EEEEDDDDDDDDDD") << 0;
        QTest::newRow("disconnect, the OPC disconnect fails")
            << QStringList{"list", "pick", "connect", "fail-disconnect", "disconnect"} << Connected << 1;
        QTest::newRow("connect failure after a connect")
            << QStringList{"list", "pick", "connect", "disconnect", "type-bad", "connect-any"} << Disconnected << 0;
    }

    void enableRows()
    {
        QFETCH(QStringList, steps);
        QFETCH(QString, row);
        QFETCH(int, boxes);
        FaultyComponent component;
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        for (const QString &step : steps) {
            if (step == QLatin1String("list"))
                click(f.ListOPCServers);
            else if (step == QLatin1String("pick"))
                pickListRow(f.OPCServerList, 0);
            else if (step == QLatin1String("connect") || step == QLatin1String("connect-any"))
                click(f.OPCServerConnect);
            else if (step == QLatin1String("disconnect"))
                click(f.DisconnectFromServer);
            else if (step == QLatin1String("fail-disconnect"))
                component.plan->failName = QStringLiteral("OPCServer.Disconnect");
            else if (step == QLatin1String("type-bad"))
                f.OPCServerName->setText(QStringLiteral("Nessuno.Server"));
        }
        QCOMPARE(f.enableRow(), row);
        QCOMPARE(int(messages.messages.size()), boxes);
    }

    void listingFillsTheListAndReleasesTheServer()
    {
        Form1 &f = openMainWindow();
        click(f.ListOPCServers);
        click(f.ListOPCServers); // listed twice, shown once
        QCOMPARE(listBoxTexts(f.OPCServerList), QStringList{QStringLiteral("Quorivo.Simulation.1")});
        QVERIFY(!Form1Probe(f).AnOPCServer());
        pickListRow(f.OPCServerList, 0);
        QCOMPARE(f.OPCServerName->Text(), QStringLiteral("Quorivo.Simulation.1"));
    }

    void anEmptyResultReportsNothing()
    {
        FaultyComponent component;
        component.plan->serversOverride = opc::Value::array(opc::VT_BSTR, {}, 0);
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        click(f.ListOPCServers);
        QCOMPARE(f.OPCServerList->ListCount(), 0);
        QVERIFY(messages.messages.empty());
    }

    void creatingTheServerFailsAndThePreviousListStays()
    {
        Form1 &f = openMainWindow();
        click(f.ListOPCServers);
        FaultyComponent component;
        component.plan->createFails = S::CO_E_CLASSSTRING;
        MessageRecorder messages;
        click(f.ListOPCServers);
        QCOMPARE(listBoxTexts(f.OPCServerList), QStringList{QStringLiteral("Quorivo.Simulation.1")});
        QCOMPARE(messages.messages.size(), size_t(1));
        QCOMPARE(messages.messages[0].prompt, reportText("OPC Server List", S::CO_E_CLASSSTRING));
        QVERIFY(!Form1Probe(f).AnOPCServer());
    }

    void listingFailsPartWayAndTheEntriesSoFarStay()
    {
        FaultyComponent component;
        component.plan->serversOverride = opc::Value::array(
            opc::VT_BSTR, {opc::Value::text(QStringLiteral("A.1")), opc::Value::text(QStringLiteral("B.1")), opc::Value::null()}, 1);
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        click(f.ListOPCServers);
        QCOMPARE(listBoxTexts(f.OPCServerList), (QStringList{"A.1", "B.1"}));
        QCOMPARE(messages.messages.size(), size_t(1));
        QCOMPARE(messages.messages[0].prompt, reportText("OPC Server List", S::DISP_E_TYPEMISMATCH));
        QCOMPARE(f.enableRow(), Start);
    }

    void unknownNodeIsReportedAsServerUnavailable()
    {
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        f.Text2->setText(QStringLiteral("plc7.invalid"));
        click(f.ListOPCServers);
        QCOMPARE(messages.messages.size(), size_t(1));
        QCOMPARE(messages.messages[0].prompt, reportText("OPC Server List", S::RPC_S_SERVER_UNAVAILABLE));
        QCOMPARE(messages.messages[0].title, QStringLiteral(" Funzione d'errore OPC"));
    }

    void connectingToTheDesignBlankReportsConnetti()
    {
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        QCOMPARE(f.OPCServerName->Text(), QStringLiteral(" "));
        click(f.OPCServerConnect);
        QCOMPARE(messages.messages.size(), size_t(1));
        QCOMPARE(messages.messages[0].prompt, reportText("Connetti", S::CO_E_CLASSSTRING));
        QCOMPARE(f.windowTitle(), QStringLiteral("Server Disconnesso"));
        QVERIFY(!Form1Probe(f).ConnectedOPCServer());
        QVERIFY(f.OPCServerConnect->isEnabled()); // try again at once
    }

    void connectFailureReleasesTheServer()
    {
        FaultyComponent component;
        component.plan->failName = QStringLiteral("OPCServer.Connect");
        component.plan->code = S::E_FAIL;
        const int live = opc::sim::liveObjects();
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        f.OPCServerName->setText(QStringLiteral("Quorivo.Simulation.1"));
        click(f.OPCServerConnect);
        QCOMPARE(messages.messages.at(0).prompt, reportText("Connetti", S::E_FAIL));
        QVERIFY(!Form1Probe(f).ConnectedOPCServer());
        QCOMPARE(opc::sim::liveObjects(), live);
        QCOMPARE(f.windowTitle(), QStringLiteral("Server Disconnesso"));
        QVERIFY(!f.DisconnectFromServer->isEnabled());
    }

    void disconnectFailureKeepsTheConnectionAndRetryWorks()
    {
        FaultyComponent component;
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        connectToSimulation(f);
        QCOMPARE(f.windowTitle(), QStringLiteral("Server Connesso"));
        component.plan->failName = QStringLiteral("OPCServer.Disconnect");
        component.plan->code = S::RPC_S_SERVER_UNAVAILABLE;
        f.Text2->setText(QStringLiteral("keep"));
        click(f.DisconnectFromServer);
        QCOMPARE(messages.messages.at(0).prompt, reportText("Disconnetti", S::RPC_S_SERVER_UNAVAILABLE));
        QVERIFY(Form1Probe(f).ConnectedOPCServer());
        QCOMPARE(f.windowTitle(), QStringLiteral("Server Connesso"));
        QCOMPARE(f.Text2->Text(), QStringLiteral("keep"));
        click(f.DisconnectFromServer);
        QCOMPARE(messages.messages.size(), size_t(1));
        QVERIFY(!Form1Probe(f).ConnectedOPCServer());
        QCOMPARE(f.windowTitle(), QStringLiteral("Disconnesso"));
        QCOMPARE(component.plan->count(QStringLiteral("OPCServer.Disconnect")), 2);
    }

    void secondDisconnectMakesNoCall()
    {
        FaultyComponent component;
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        connectToSimulation(f);
        addGroup(f, QStringLiteral("Gruppo1"));
        click(f.DisconnectFromServer);
        const int calls = component.plan->calls;
        f.Text1->setText(QStringLiteral("x"));
        click(f.DisconnectFromServer);
        QCOMPARE(component.plan->calls, calls);
        QVERIFY(messages.messages.empty());
        QCOMPARE(f.Text1->Text(), QString());
        QCOMPARE(f.OPCServerName->Text(), QString());
        QCOMPARE(f.Text2->Text(), QString());
        QCOMPARE(f.List2->ListCount(), 0);
        QVERIFY(f.ConnectedServerGroups); // survives the disconnect
        QCOMPARE(f.OPCServerList->ListCount(), 1);
    }

    void serverPropertiesAreASnapshot()
    {
        ManualClock clock;
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        connectToSimulation(f);
        click(f.Command6);
        Form2 *form = Form2::existing();
        QVERIFY(form && form->isVisible());
        QCOMPARE(form->windowTitle(), QStringLiteral("Proprietà Server"));
        const QString firstTime = form->values[1]->text();
        QCOMPARE(form->values[3]->text(), QStringLiteral("1"));
        QCOMPARE(form->values[7]->text(), QStringLiteral("1"));
        QCOMPARE(form->values[9]->text(), QStringLiteral("-1"));
        QCOMPARE(form->values[10]->text(), QStringLiteral("Quorivo.Simulation.1"));
        QCOMPARE(form->values[11]->text(), QString());
        QCOMPARE(form->values[0]->text(), opc::dateToText(QDateTime::fromMSecsSinceEpoch(clock.nowMs(), Qt::UTC)));
        clock.advance(3000);
        QCOMPARE(form->values[1]->text(), firstTime); // never refreshed by itself
        click(f.Command6);
        QCOMPARE(Form2::existing(), form);
        QCOMPARE(form->values[1]->text(), opc::dateToText(QDateTime::fromMSecsSinceEpoch(clock.nowMs(), Qt::UTC)));
        QVERIFY(form->values[1]->text() != firstTime);
        click(f.DisconnectFromServer);
        QCOMPARE(form->values[10]->text(), QStringLiteral("Quorivo.Simulation.1"));
        QVERIFY(messages.messages.empty());
        click(form->Command1);
        QVERIFY(!Form2::existing());
    }

    void serverPropertiesNameLabels()
    {
        Form1 &f = openMainWindow();
        connectToSimulation(f);
        click(f.Command6);
        Form2 *form = Form2::existing();
        const QStringList names{"StartTime", "CurrentTime", "LastUpdateTime", "MajorVersion", "MinorVersion", "BuildNumber",
                                "VendorInfo", "ServerState", "LocalID", "BandWidth", "ServerName", "ServerNode"};
        const QStringList labels{"Label1", "Label2", "Label3", "Label6", "Label13", "Label4",
                                 "Label8", "Label7", "Label9", "Label10", "Label11", "Label14"};
        for (int i = 0; i < names.size(); ++i) {
            auto *label = form->builder().get<QLabel>(labels[i]);
            QCOMPARE(label->text(), names[i]);
            QCOMPARE(label->y(), form->values[static_cast<size_t>(i)]->y());
        }
        QCOMPARE(form->values[0]->font().weight(), QFont::Light);
        QCOMPARE(form->font().weight(), QFont::DemiBold);
    }

    void aFailingPropertyReadIsReportedAndTheRestStays()
    {
        FaultyComponent component;
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        connectToSimulation(f);
        component.plan->failName = QStringLiteral("OPCServer.VendorInfo");
        component.plan->code = S::RPC_S_SERVER_UNAVAILABLE;
        click(f.Command6);
        Form2 *form = Form2::existing();
        QCOMPARE(messages.messages.at(0).prompt, reportText("Proprietà", S::RPC_S_SERVER_UNAVAILABLE));
        QCOMPARE(form->values[5]->text(), QStringLiteral("1"));
        QCOMPARE(form->values[6]->text(), QStringLiteral("Label1"));
        QVERIFY(form->isVisible());
    }
};

QTEST_MAIN(TestConnection)
#include "tst_connection.moc"
