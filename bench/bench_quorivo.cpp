// SPDX-License-Identifier: GPL-3.0-or-later
// Prints how long the program's heavy roads take: the item table at its
// largest, the browser on its widest branches, the simulation cache and the
// splash. The item table is set side by side with a per-cell widget table
// doing the same work in the same run.
#include "app/handlers.h"
#include "app/splash.h"
#include "browser/browserhandlers.h"
#include "items/form3.h"
#include "opc/sim/simserver.h"
#include "opc/value.h"
#include "support/fakeclock.h"
#include "support/fixture.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTableWidget>
#include <algorithm>
#include <malloc.h>
#include <cstdio>
#include <functional>
#include <vector>

using quorivo::Form1;
using quorivo::Form3;
using namespace testsupport;

namespace {

constexpr int Ticks = 15;
constexpr int RateMs = 100;

void settle()
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

double msOf(const std::function<void()> &work)
{
    QElapsedTimer t;
    t.start();
    work();
    settle();
    return static_cast<double>(t.nsecsElapsed()) / 1e6;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void row(const char *what, const QString &figure)
{
    std::printf("| %-62s | %22s |\n", what, qPrintable(figure));
}

QString ms(double v) { return QString::number(v, 'f', 2) + QStringLiteral(" ms"); }

// A connected main window with one group of n items, selected: every item
// changing at each sample, or one in `changingEvery` of them (the others
// are registers that keep their value and time).
Form1 &sessionWithItems(int n, int changingEvery = 1)
{
    Form1 &f = openMainWindow();
    connectToSimulation(f);
    addGroup(f, QStringLiteral("Bench"), QString::number(RateMs));
    auto group = f.ConnectedServerGroups->GetOPCGroup(QStringLiteral("Bench"));
    auto items = group->OPCItems();
    for (int i = 0; i < n; ++i)
        items->AddItem(i % changingEvery ? QStringLiteral("Registers.Int4")
                       : i % 2 ? QStringLiteral("Random.Real8")
                               : QStringLiteral("Waves.Sine.Int4"),
                       0);
    selectGroup(f, QStringLiteral("Bench"));
    return f;
}

struct TableFigures {
    double firstFill; // the window made by the fill
    double fill;      // refilled while open: the same work as the widget table
    double tick;        // handler and change notices
    double tickPainted; // and the repaint that follows
    double heapMiB;   // the heap the filled table holds
};

// The median tick of Ticks, timed twice: the handler and the change notices
// it sends, and then with the repaint of what the view shows.
std::pair<double, double> timeTicks(ManualClock &clock, const std::function<void()> &tick, toolkit::ListViewModel *rows)
{
    std::vector<double> handled, painted;
    for (int i = 0; i < Ticks; ++i) {
        clock.advance(RateMs);
        QElapsedTimer t;
        t.start();
        tick();
        rows->flush();
        handled.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
        settle();
        painted.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
    }
    return {median(handled), median(painted)};
}

double heapMiB() { return static_cast<double>(mallinfo2().uordblks) / (1024.0 * 1024.0); }

TableFigures benchItemTable(int n, ManualClock &clock, int changingEvery = 1)
{
    Form1 &f = sessionWithItems(n, changingEvery);
    TableFigures out{};
    const double heapBefore = heapMiB();
    out.firstFill = msOf([&] { f.Command3_Click(); });
    out.heapMiB = heapMiB() - heapBefore;
    out.fill = msOf([&] { f.Command3_Click(); });
    Form3 *form = Form3::existing();
    form->Timer1->setInterval(0); // the bench drives the ticks
    const auto ticks = timeTicks(clock, [form] { form->Timer1_Timer(); }, form->ListView1->rows());
    out.tick = ticks.first;
    out.tickPainted = ticks.second;
    closeAllWindows();
    return out;
}

// The path the item table took before it kept raw data: every tick makes
// all five texts of every row and compares texts, in the same list view.
TableFigures benchTextTable(int n, ManualClock &clock, int changingEvery = 1)
{
    Form1 &f = sessionWithItems(n, changingEvery);
    auto items = f.ConnectedServerGroups->GetOPCGroup(QStringLiteral("Bench"))->OPCItems();
    const double heapBefore = heapMiB();
    auto *view = new toolkit::ListView;
    view->resize(589, 241);
    view->show();
    TableFigures out{};
    const auto writeRow = [&](int i) {
        auto item = items->Item(i);
        item->Read(OPCAutomation::OPCCache);
        const auto texts = quorivo::itemRowTexts(*item);
        toolkit::ListItem row = view->ListItems().Item(i);
        row.setText(texts[0]);
        for (int c = 1; c < 5; ++c)
            row.setSubItems(c, texts[static_cast<size_t>(c)]);
    };
    out.fill = msOf([&] {
        for (const char *title : {"ItemID", "Value", "DataType", "Quality", "TimeStamp"})
            view->ColumnHeaders().Add(QString::fromLatin1(title), 1472);
        view->setView(toolkit::ListView::ReportView);
        for (int i = 1; i <= n; ++i) {
            view->ListItems().Add();
            writeRow(i);
        }
    });
    out.heapMiB = heapMiB() - heapBefore;
    const auto ticks = timeTicks(clock, [&] {
        for (int i = 1; i <= n; ++i)
            writeRow(i);
    }, view->rows());
    out.tick = ticks.first;
    out.tickPainted = ticks.second;
    delete view;
    closeAllWindows();
    return out;
}

// The same fill and tick through one QTableWidgetItem per cell.
TableFigures benchWidgetTable(int n, ManualClock &clock)
{
    Form1 &f = sessionWithItems(n);
    auto items = f.ConnectedServerGroups->GetOPCGroup(QStringLiteral("Bench"))->OPCItems();
    QTableWidget table(0, 5);
    table.resize(589, 241);
    table.show();
    settle();
    TableFigures out{};
    out.fill = msOf([&] {
        table.setHorizontalHeaderLabels({QStringLiteral("ItemID"), QStringLiteral("Value"), QStringLiteral("DataType"),
                                         QStringLiteral("Quality"), QStringLiteral("TimeStamp")});
        for (int i = 1; i <= n; ++i) {
            auto item = items->Item(i);
            item->Read(OPCAutomation::OPCCache);
            const auto texts = quorivo::itemRowTexts(*item);
            const int r = table.rowCount();
            table.insertRow(r);
            for (int c = 0; c < 5; ++c)
                table.setItem(r, c, new QTableWidgetItem(texts[static_cast<size_t>(c)]));
        }
    });
    std::vector<double> ticks;
    for (int t = 0; t < Ticks; ++t) {
        clock.advance(RateMs);
        ticks.push_back(msOf([&] {
            for (int i = 1; i <= n; ++i) {
                auto item = items->Item(i);
                item->Read(OPCAutomation::OPCCache);
                const auto texts = quorivo::itemRowTexts(*item);
                for (int c = 0; c < 5; ++c)
                    table.item(i - 1, c)->setText(texts[static_cast<size_t>(c)]);
            }
        }));
    }
    out.tick = median(ticks);
    closeAllWindows();
    return out;
}


void benchBrowser()
{
    Form1 &f = openMainWindow();
    connectToSimulation(f);
    click(f.Command1);
    expandNode(f.TreeView1, QStringLiteral("Quorivo.Simulation.1"));
    expandNode(f.TreeView1, simNodeKey({"Scale"}));
    settle();
    const double open = msOf([&] { expandNode(f.TreeView1, simNodeKey({"Scale", "Branches40000"})); });
    const int shown = f.TreeView1->Nodes().Count();
    const double close =
        msOf([&] { collapseNode(f.TreeView1, simNodeKey({"Scale", "Branches40000"})); });
    const double list = msOf([&] { pickTreeNode(f.TreeView1, simNodeKey({"Scale", "Leaves40000"})); });
    const int leaves = f.ListView1->ListItems().Count();
    QString path = simNodeKey({"Scale", "Generated"});
    const double deep = msOf([&] {
        for (int level = 0; level < 10; ++level) {
            expandNode(f.TreeView1, path);
            path += quorivo::KeySeparator + QStringLiteral("Node1");
        }
    });
    row("open the 40,000-branch node", ms(open) + QStringLiteral(" (") + QString::number(shown) + QStringLiteral(" nodes)"));
    row("close it again", ms(close));
    row("list the 40,000 leaves", ms(list) + QStringLiteral(" (") + QString::number(leaves) + QStringLiteral(" rows)"));
    row("open 10 levels of the generated tree", ms(deep));
    closeAllWindows();
}

void benchCacheReads()
{
    auto server = opc::sim::newSimulationServer();
    server->Connect(QStringLiteral("Quorivo.Simulation.1"), {});
    auto group = server->OPCGroups()->Add(QStringLiteral("Reads"));
    auto items = group->OPCItems();
    std::vector<OPCAutomation::ItemPtr> all;
    for (int i = 0; i < 1000; ++i)
        all.push_back(items->AddItem(i % 2 ? QStringLiteral("Random.Real8") : QStringLiteral("Registers.Int4"), 0));
    constexpr int Rounds = 200;
    QElapsedTimer t;
    t.start();
    for (int r = 0; r < Rounds; ++r)
        for (auto &item : all)
            item->Read(OPCAutomation::OPCCache);
    const double seconds = static_cast<double>(t.nsecsElapsed()) / 1e9;
    row("simulation cache reads", QString::number(Rounds * 1000.0 / seconds / 1e6, 'f', 2) + QStringLiteral(" M/s"));
    server->Disconnect();
}

void benchStartUp()
{
    std::vector<double> runs;
    for (int i = 0; i < 5; ++i) {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QUORIVO_QUIT_AFTER_SPLASH"), QStringLiteral("1"));
        process.setProcessEnvironment(env);
        QElapsedTimer t;
        t.start();
        process.start(QStringLiteral(QUORIVO_BINARY), {});
        if (!process.waitForFinished(30000) || process.exitCode() != 0) {
            row("start-up to the splash", QStringLiteral("failed"));
            return;
        }
        runs.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
    }
    row("start-up to the splash painted, whole process (median of 5)", ms(median(runs)));
}

void benchSplash()
{
    std::vector<double> runs;
    for (int i = 0; i < 5; ++i) {
        runs.push_back(msOf([] {
            quorivo::installProgram();
            auto *splash = quorivo::FrmSplash::instance();
            splash->Show();
            splash->repaint();
        }));
        closeAllWindows();
    }
    row("splash window created and painted, in process (median of 5)", ms(median(runs)));
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QGuiApplication::setQuitOnLastWindowClosed(false);
    ManualClock clock;

    std::printf("| %-62s | %22s |\n|%s|%s|\n", "measure", "figure", std::string(64, '-').c_str(),
                std::string(24, '-').c_str());
    for (int n : {1000, 32767}) {
        const TableFigures model = benchItemTable(n, clock);
        const TableFigures widgets = benchWidgetTable(n, clock);
        const QString size = QString::number(n);
        row(qPrintable(QStringLiteral("item table first fill, window made, ") + size + QStringLiteral(" items")),
            ms(model.firstFill));
        row(qPrintable(QStringLiteral("item table fill, window open, ") + size + QStringLiteral(" items")), ms(model.fill));
        row(qPrintable(QStringLiteral("  per-cell widget table, same fill")), ms(widgets.fill));
        row(qPrintable(QStringLiteral("item table tick (median of 15), ") + size + QStringLiteral(" items")),
            ms(model.tickPainted));
        row(qPrintable(QStringLiteral("  per-cell widget table, same tick")), ms(widgets.tick));
        row("  ratio widget/model: fill, tick",
            QString::number(widgets.fill / model.fill, 'f', 1) + QStringLiteral("x, ") +
                QString::number(widgets.tick / model.tickPainted, 'f', 1) + QStringLiteral("x"));
    }
    // The raw-data table beside the text table it replaced, same run.
    for (int changingEvery : {1, 100}) {
        const int n = 32767;
        const TableFigures model = benchItemTable(n, clock, changingEvery);
        const TableFigures texts = benchTextTable(n, clock, changingEvery);
        const char *share = changingEvery == 1 ? "all" : "1%";
        row(qPrintable(QStringLiteral("tick, 32767 items, %1 changing: raw-data table").arg(QLatin1String(share))),
            ms(model.tick) + QStringLiteral(" / ") + ms(model.tickPainted));
        row("  text table (the path before), same tick",
            ms(texts.tick) + QStringLiteral(" / ") + ms(texts.tickPainted));
        if (changingEvery == 1) {
            row("heap of the filled table, 32767 rows: raw-data table",
                QString::number(model.heapMiB, 'f', 1) + QStringLiteral(" MiB"));
            row("  text table (the path before)", QString::number(texts.heapMiB, 'f', 1) + QStringLiteral(" MiB"));
        }
    }
    benchBrowser();
    benchCacheReads();
    benchSplash();
    benchStartUp();
    return 0;
}
