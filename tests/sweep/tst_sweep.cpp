// SPDX-License-Identifier: GPL-3.0-or-later
// Walks a whole operator session with the k-th OPC call failing, for every k
// along the road, once with a plain OPC error and once as if the server had
// gone away, and checks after each run that the program still works and
// said exactly what it should have.
#include "browser/browserhandlers.h"
#include "groups/form4.h"
#include "items/form3.h"
#include "support/fakeclock.h"
#include "support/faultserver.h"
#include "support/fixture.h"
#include "support/messages.h"

#include <QSet>
#include <QTest>
#include <QTimer>
#include <functional>
#include <set>

using quorivo::Ctl;
using quorivo::Form1;
using quorivo::Form1Probe;
using quorivo::Form3;
using quorivo::Form4;
using namespace testsupport;
namespace S = opc::Status;

namespace {

const QString Root = QStringLiteral("Quorivo.Simulation.1");
QString RegistersKey() { return simNodeKey({"Registers"}); }

bool hasNode(Form1 &f, const QString &key) { return f.TreeView1->nodes()->find(key) != nullptr; }

int rowWithText(toolkit::ListView *view, const QString &text)
{
    for (int i = 1; i <= view->ListItems().Count(); ++i)
        if (view->ListItems().Item(i).Text() == text)
            return i;
    return 0;
}

struct Step {
    const char *name;
    QString operation; // empty: the handler fails silently
    // Calls whose failure the handler passes over quietly although it
    // reports others (the group list rebuilt after adding a group).
    QStringList quiet;
    std::function<void(Form1 &)> act;
};

const std::vector<Step> &road()
{
    static const std::vector<Step> steps = {
        {"list", QStringLiteral("OPC Server List"), {}, [](Form1 &f) { click(f.ListOPCServers); }},
        {"pick server", {}, {},
         [](Form1 &f) {
             if (f.OPCServerList->ListCount() > 0)
                 pickListRow(f.OPCServerList, 0);
         }},
        {"connect", QStringLiteral("Connetti"), {}, [](Form1 &f) { click(f.OPCServerConnect); }},
        {"add group", QStringLiteral("Aggiungi gruppo"), {"OPCGroups.Count", "OPCGroups.Item", "OPCGroup.Name"},
         [](Form1 &f) { addGroup(f, QStringLiteral("G"), QStringLiteral("100")); }},
        {"select group", {}, {}, [](Form1 &f) { selectGroup(f, QStringLiteral("G")); }},
        {"browse", QStringLiteral("Espolora risorse"), {}, [](Form1 &f) { click(f.Command1); }},
        {"open root", QStringLiteral("Espolora risorse"), {},
         [](Form1 &f) {
             if (hasNode(f, Root))
                 expandNode(f.TreeView1, Root);
         }},
        {"open branch", QStringLiteral("Espolora risorse"), {},
         [](Form1 &f) {
             if (hasNode(f, RegistersKey()))
                 expandNode(f.TreeView1, RegistersKey());
         }},
        {"close branch", QStringLiteral("Espolora risorse"), {},
         [](Form1 &f) {
             if (hasNode(f, RegistersKey()))
                 collapseNode(f.TreeView1, RegistersKey());
         }},
        {"click branch", QStringLiteral("Espolora risorse"), {},
         [](Form1 &f) {
             if (hasNode(f, RegistersKey()))
                 pickTreeNode(f.TreeView1, RegistersKey());
         }},
        {"pick leaf", {}, {},
         [](Form1 &f) {
             if (const int row = rowWithText(f.ListView1, QStringLiteral("Int4")))
                 pickListViewRow(f.ListView1, row);
         }},
        {"add item", {}, {}, [](Form1 &f) { click(f.Command2); }},
        {"item properties", {}, {}, [](Form1 &f) { click(f.Command3); }},
        {"refresh tick", {}, {},
         [](Form1 &) {
             if (Form3 *form = Form3::existing())
                 form->Timer1_Timer();
         }},
        {"write", {}, {},
         [](Form1 &) {
             if (Form3 *form = Form3::existing()) {
                 if (form->ListView1->ListItems().Count() > 0)
                     pickListViewRow(form->ListView1, 1);
                 form->Text1->setText(QStringLiteral("5"));
                 click(form->Command2);
             }
         }},
        {"rate window", QStringLiteral("Group Update Rate"), {}, [](Form1 &f) { click(f.Command8); }},
        {"rate ok", QStringLiteral("Group Update Rate"), {},
         [](Form1 &) {
             if (Form4 *form = Form4::existing()) {
                 form->Text2->setText(QStringLiteral("250"));
                 click(form->Command1);
             }
         }},
        {"remove item", {}, {},
         [](Form1 &f) {
             if (f.ListView2->ListItems().Count() > 0)
                 pickListViewRow(f.ListView2, 1);
             click(f.Command7);
         }},
        {"remove group", {}, {}, [](Form1 &f) { click(f.Command4); }},
        {"server properties", QStringLiteral("Proprietà"), {}, [](Form1 &f) { click(f.Command6); }},
        {"disconnect", QStringLiteral("Disconnetti"), {}, [](Form1 &f) { click(f.DisconnectFromServer); }},
    };
    return steps;
}

// --- the enable table as a transition system ---

using Change = std::pair<Ctl, bool>;
using Row = std::vector<Change>;

// Each handler's changes in the order it makes them; a handler that fails
// part-way keeps a prefix.
std::vector<Row> enableRows()
{
    const bool E = true, D = false;
    std::vector<Row> rows = {
        {{Ctl::OPCServerConnect, E}},
        {{Ctl::DisconnectFromServer, E}, {Ctl::OPCServerConnect, D}, {Ctl::OPCServerList, D}, {Ctl::OPCServerName, D},
         {Ctl::OPCGroupName, E}, {Ctl::GroupUpdateRate, E}, {Ctl::AddOPCGroup, E}, {Ctl::Command6, E},
         {Ctl::Command1, E}},
        {{Ctl::DisconnectFromServer, D}},
        {{Ctl::OPCServerName, E}, {Ctl::OPCServerList, E}, {Ctl::AddOPCGroup, D}, {Ctl::OPCGroupName, D},
         {Ctl::GroupUpdateRate, D}, {Ctl::Command1, D}, {Ctl::Command2, D}, {Ctl::Command3, D}, {Ctl::Command4, D},
         {Ctl::Command6, D}, {Ctl::Command7, D}, {Ctl::Command8, D}},
        {{Ctl::Command1, D}},
        {{Ctl::Command2, D}, {Ctl::Command4, D}, {Ctl::Command8, D}},
        {{Ctl::Command4, D}, {Ctl::Command8, D}},
        {{Ctl::Command3, E}, {Ctl::Command7, E}},
        {{Ctl::Command2, D}, {Ctl::Command4, D}, {Ctl::Command3, D}, {Ctl::Command7, D}, {Ctl::Command8, D}},
        {{Ctl::Command3, E}},
    };
    for (bool items : {true, false})
        rows.push_back({{Ctl::Command2, E}, {Ctl::Command4, E}, {Ctl::Command8, E}, {Ctl::Command3, items},
                        {Ctl::Command7, items}});
    return rows;
}

QString applied(QString state, const Row &row, size_t prefix)
{
    for (size_t i = 0; i < prefix; ++i)
        state[static_cast<int>(row[i].first)] = row[i].second ? QLatin1Char('E') : QLatin1Char('D');
    return state;
}

QSet<QString> reachableRows()
{
    const auto rows = enableRows();
    QSet<QString> seen{QStringLiteral("EEEDDDDDDDDDDD")};
    std::vector<QString> todo(seen.cbegin(), seen.cend());
    while (!todo.empty()) {
        const QString state = todo.back();
        todo.pop_back();
        for (const Row &row : rows)
            for (size_t prefix = 1; prefix <= row.size(); ++prefix) {
                const QString next = applied(state, row, prefix);
                if (!seen.contains(next)) {
                    seen.insert(next);
                    todo.push_back(next);
                }
            }
    }
    return seen;
}

// Escaped exceptions end up as warnings of the last-line guard.
int g_escaped = 0;
QtMessageHandler g_previousHandler = nullptr;
void countEscapes(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (text.contains(QLatin1String("unexpected failure")))
        ++g_escaped;
    if (g_previousHandler)
        g_previousHandler(type, context, text);
}

// Calls a harmless member and lets only an OPC refusal through.
template <typename F>
bool answers(F call)
{
    try {
        call();
        return true;
    } catch (const opc::OpcError &) {
        return true;
    } catch (...) {
        return false;
    }
}

struct RunResult {
    int calls = 0;
    QStringList log;
    QString failure; // empty: every check held
};

} // namespace

class TestSweep : public QObject {
    Q_OBJECT
    QSet<QString> m_reachable;

    RunResult runRoad(int failAt, bool disconnectLike)
    {
        ManualClock clock;
        MessageRecorder messages;
        FaultyComponent faults;
        auto &plan = *faults.plan;
        plan.failAt = failAt;
        plan.code = S::OPC_E_INVALIDHANDLE;
        plan.disconnectLike = disconnectLike;
        g_escaped = 0;
        Form1 &f = openMainWindow();
        RunResult result;
        const auto fail = [&](const QString &why) {
            if (result.failure.isEmpty())
                result.failure = why;
        };

        for (const Step &step : road()) {
            const size_t before = messages.messages.size();
            const bool trippedBefore = plan.tripped;
            step.act(f);
            clock.advance(100);
            const size_t shown = messages.messages.size() - before;
            const QString where = QString::fromLatin1(step.name);
            for (size_t i = before; i < messages.messages.size(); ++i) {
                const QString &prompt = messages.messages[i].prompt;
                if (step.operation.isEmpty() || !prompt.contains(QLatin1Char('\'') + step.operation + QLatin1Char('\'')))
                    fail(where + QStringLiteral(": unexpected message: ") + prompt);
            }
            if (shown > 1)
                fail(where + QStringLiteral(": more than one message"));
            if (!trippedBefore && plan.tripped && !step.operation.isEmpty()) {
                const QString failed = plan.log.value(plan.failAt - 1).section(QLatin1Char(':'), 0, 0);
                if (shown != 1 && !step.quiet.contains(failed))
                    fail(where + QStringLiteral(": failure of ") + failed + QStringLiteral(" not reported"));
            }
        }
        result.calls = plan.calls;
        result.log = plan.log;

        if (g_escaped != 0)
            fail(QStringLiteral("an exception reached the event loop"));
        if (Form1::existing() != &f)
            fail(QStringLiteral("the main window has gone"));
        if (!m_reachable.contains(f.enableRow()))
            fail(QStringLiteral("unreachable enable row ") + f.enableRow());

        Form1Probe probe(f);
        if (probe.AnOPCServer())
            fail(QStringLiteral("the listing server object was kept"));
        if ((f.controlEnabled(Ctl::Command6) || f.controlEnabled(Ctl::AddOPCGroup)) && !probe.ConnectedOPCServer())
            fail(QStringLiteral("connection controls open without a connection"));
        // Every object still held answers or refuses; none is half gone.
        bool sound = true;
        if (auto &s = probe.ConnectedOPCServer())
            sound &= answers([&] { s->ServerState(); });
        if (auto &g = f.ConnectedServerGroups)
            sound &= answers([&] { g->Count(); });
        if (auto &g = probe.ConnectedGroup())
            sound &= answers([&] { g->OPCItems()->Count(); });
        if (auto &g = f.Grp1)
            sound &= answers([&] { g->Name(); });
        if (auto &b = probe.ConnectedServerBrowser())
            sound &= answers([&] { b->Count(); });
        if (!sound)
            fail(QStringLiteral("a held object fails with something other than an OPC error"));

        // Still responsive: an event posted now is handled.
        bool handled = false;
        QTimer::singleShot(0, &f, [&handled] { handled = true; });
        QCoreApplication::processEvents();
        if (!handled)
            fail(QStringLiteral("the event loop did not turn"));
        closeAllWindows();
        return result;
    }

private slots:
    void initTestCase()
    {
        m_reachable = reachableRows();
        g_previousHandler = qInstallMessageHandler(countEscapes);
    }

    void cleanupTestCase() { qInstallMessageHandler(g_previousHandler); }

    void theCleanRoadReachesEveryHandler()
    {
        MessageRecorder messages;
        const RunResult clean = runRoad(0, false);
        QVERIFY2(clean.failure.isEmpty(), qPrintable(clean.failure));
        QVERIFY(messages.messages.empty());
        // Every handler of the road made its OPC calls.
        for (const char *call : {"OPCServer.GetOPCServers", "OPCServer.Connect", "OPCGroups.Add", "OPCBrowser.ShowBranches",
                                 "OPCBrowser.ShowLeafs", "OPCBrowser.GetItemID", "OPCItems.AddItem", "OPCItem.Read",
                                 "OPCItem.Write", "OPCGroup.setUpdateRate", "OPCItems.Remove", "OPCGroups.Remove",
                                 "OPCServer.StartTime", "OPCServer.Disconnect"})
            QVERIFY2(clean.log.contains(QString::fromLatin1(call)), call);
    }

    void everyFaultPointAlongTheRoad()
    {
        const int calls = runRoad(0, false).calls;
        int covered = 0;
        QStringList failures;
        for (bool disconnectLike : {false, true}) {
            for (int k = 1; k <= calls; ++k) {
                const RunResult run = runRoad(k, disconnectLike);
                ++covered;
                if (!run.failure.isEmpty())
                    failures << QStringLiteral("k=%1%2: %3")
                                    .arg(k)
                                    .arg(disconnectLike ? QStringLiteral(" (gone)") : QString())
                                    .arg(run.failure);
            }
        }
        qInfo("fault sweep: %d fault points over %d OPC calls of the road", covered, calls);
        QVERIFY2(failures.isEmpty(), qPrintable(failures.mid(0, 20).join(QLatin1Char('\n'))));
    }
};

QTEST_MAIN(TestSweep)
#include "tst_sweep.moc"
