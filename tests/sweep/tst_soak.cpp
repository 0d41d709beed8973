// SPDX-License-Identifier: GPL-3.0-or-later
// A long session compressed: a fast-refreshing item table, windows opened and
// closed over and over, and many connections. Nothing may pile up.
#include "app/splash.h"
#include "connection/form2.h"
#include "groups/form4.h"
#include "items/form3.h"
#include "opc/sim/simserver.h"
#include "support/fixture.h"
#include "support/messages.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTest>
#include <unistd.h>

using quorivo::Form1;
using quorivo::Form3;
using namespace testsupport;

#if defined(__SANITIZE_ADDRESS__)
#define QUORIVO_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORIVO_ASAN 1
#endif
#endif

namespace {

// AddressSanitizer holds freed memory back on purpose; resident size says
// nothing there, and the live-object count has to do.
#ifdef QUORIVO_ASAN
constexpr bool ResidentSizeIsMeaningful = false;
#else
constexpr bool ResidentSizeIsMeaningful = true;
#endif

// Resident memory in KiB, from /proc.
long residentKiB()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLong() * (sysconf(_SC_PAGESIZE) / 1024) : -1;
}

void connectWithItems(Form1 &f, int items)
{
    connectToSimulation(f);
    addGroup(f, QStringLiteral("Soak"), QStringLiteral("10"));
    auto group = f.ConnectedServerGroups->GetOPCGroup(QStringLiteral("Soak"));
    for (int i = 0; i < items; ++i)
        group->OPCItems()->AddItem(i % 2 ? QStringLiteral("Random.Real8") : QStringLiteral("Waves.Saw.Int4"), 0);
    selectGroup(f, QStringLiteral("Soak"));
}

// One round of every window: item table, server properties, rate window,
// each opened and closed.
void cycleWindows(Form1 &f)
{
    click(f.Command3);
    QTest::qWait(30); // a few ticks at 10 ms
    if (Form3 *form = Form3::existing())
        click(form->Command1);
    click(f.Command6);
    if (auto *form = quorivo::Form2::existing())
        form->Unload();
    click(f.Command8);
    if (auto *form = quorivo::Form4::existing())
        click(form->Command1);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace

class TestSoak : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { closeAllWindows(); }

    void aLongSessionKeepsItsSize()
    {
        MessageRecorder messages;
        const int objectsAtRest = opc::sim::liveObjects();

        // Warm-up round: first-time allocations (fonts, styles) are not growth.
        {
            Form1 &f = openMainWindow();
            connectWithItems(f, 1000);
            cycleWindows(f);
            click(f.DisconnectFromServer);
            closeAllWindows();
        }
        QCOMPARE(opc::sim::liveObjects(), objectsAtRest);
        const long rssBefore = residentKiB();

        Form1 &f = openMainWindow();
        connectWithItems(f, 1000);
        click(f.Command3);
        Form3 *table = Form3::existing();
        QVERIFY(table);
        QCOMPARE(table->Timer1->Interval(), 10);
        QSignalSpy ticks(table->Timer1, &toolkit::Timer::Tick);
        QTest::qWait(1500);
        QVERIFY2(ticks.count() >= 20, qPrintable(QString::number(ticks.count())));
        QCOMPARE(table->ListView1->ListItems().Count(), 1000);
        for (int round = 0; round < 30; ++round)
            cycleWindows(f);
        click(f.DisconnectFromServer);
        closeAllWindows();

        // Many short connections, each with a group and an item.
        for (int i = 0; i < 200; ++i) {
            Form1 &g = openMainWindow();
            connectToSimulation(g);
            addGroup(g, QStringLiteral("G"));
            selectGroup(g, QStringLiteral("G"));
            addItem(g, QStringLiteral("Counter"));
            click(g.DisconnectFromServer);
        }
        closeAllWindows();

        QVERIFY(messages.messages.empty());
        // The objects of all those sessions have been let go...
        QCOMPARE(opc::sim::liveObjects(), objectsAtRest);
        // ...and memory stays within a small bound of where it was.
        const long growth = residentKiB() - rssBefore;
        qInfo("soak: %d ticks, resident memory grew by %ld KiB", static_cast<int>(ticks.count()), growth);
        if (ResidentSizeIsMeaningful)
            QVERIFY2(growth < 32 * 1024, qPrintable(QString::number(growth)));
    }
};

QTEST_MAIN(TestSoak)
#include "tst_soak.moc"
