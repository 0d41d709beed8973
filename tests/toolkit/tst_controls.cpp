// SPDX-License-Identifier: GPL-3.0-or-later
#include "toolkit/controls.h"
#include "toolkit/error.h"
#include "toolkit/timer.h"
#include "toolkit/twips.h"

#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

class TestControls : public QObject {
    Q_OBJECT
private slots:
    void listBoxIndexIsMinusOneWithoutSelection()
    {
        toolkit::ListBox list;
        QCOMPARE(list.ListIndex(), -1);
        list.AddItem(QStringLiteral("a"));
        list.AddItem(QStringLiteral("b"));
        QCOMPARE(list.ListIndex(), -1);
        QCOMPARE(list.List(1), QStringLiteral("b"));
        QCOMPARE(list.List(-1), QString());
        QCOMPARE(list.List(7), QString());
    }

    // A list one row high keeps its row: a long entry brings no horizontal
    // bar over it, and shows whole as its tip.
    void listBoxLongEntriesKeepTheRow()
    {
        toolkit::ListBox list;
        list.resize(190, 30);
        const QString entry = QStringLiteral("urn:plc7:Server (Aes256_Sha256_RsaPss, SignAndEncrypt)");
        list.AddItem(entry);
        list.show();
        QVERIFY(QTest::qWaitForWindowExposed(&list));
        QVERIFY(list.fontMetrics().horizontalAdvance(entry) > list.viewport()->width());
        QVERIFY(!list.horizontalScrollBar()->isVisible());
        QCOMPARE(list.item(0)->toolTip(), entry);
        QVERIFY(list.visualItemRect(list.item(0)).bottom() < list.viewport()->height());
    }

    void listBoxClickOnlyForTheUser()
    {
        toolkit::ListBox list;
        list.resize(200, 200);
        list.show();
        QSignalSpy clicks(&list, &toolkit::ListBox::Click);
        list.AddItem(QStringLiteral("a"));
        list.AddItem(QStringLiteral("b"));
        list.Clear();
        list.AddItem(QStringLiteral("a"));
        list.AddItem(QStringLiteral("b"));
        QCOMPARE(clicks.count(), 0);

        const QRect second = list.visualItemRect(list.item(1));
        QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, second.center());
        QCOMPARE(clicks.count(), 1);
        QCOMPARE(list.ListIndex(), 1);
        // Clicking the selected entry again is still the user selecting it.
        QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, second.center());
        QCOMPARE(clicks.count(), 2);
        QTest::keyClick(&list, Qt::Key_Up);
        QCOMPARE(clicks.count(), 3);
        QCOMPARE(list.ListIndex(), 0);
        list.Clear();
        QCOMPARE(list.ListIndex(), -1);
        QCOMPARE(clicks.count(), 3);
    }

    void listBoxClickOnTheRowFocusMadeCurrent()
    {
        // Focus makes the first row current without selecting it; the click
        // that selects it is the user's, and the handler sees the selection.
        toolkit::ListBox list;
        list.resize(200, 200);
        list.show();
        list.AddItem(QStringLiteral("a"));
        list.AddItem(QStringLiteral("b"));
        QList<int> seen;
        connect(&list, &toolkit::ListBox::Click, &list, [&] { seen << list.ListIndex(); });
        list.selectionModel()->setCurrentIndex(list.model()->index(0, 0), QItemSelectionModel::NoUpdate);
        QVERIFY(seen.isEmpty());
        QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, list.visualItemRect(list.item(0)).center());
        QCOMPARE(seen, QList<int>{0});
    }

    void timerIntervalZeroStopsAndNegativeFails()
    {
        toolkit::Timer timer(nullptr, 10);
        QVERIFY(timer.isTicking());
        timer.setInterval(0);
        QVERIFY(!timer.isTicking());
        QVERIFY_THROWS_EXCEPTION(toolkit::WidgetError, timer.setInterval(-1));
        timer.setInterval(2147483647);
        QVERIFY(timer.isTicking());
        QSignalSpy ticks(&timer, &toolkit::Timer::Tick);
        timer.setInterval(5);
        QVERIFY(ticks.wait(1000));
    }

    void twipsFollowTheLogicalDpi()
    {
        const double dpi = QGuiApplication::primaryScreen()->logicalDotsPerInchX();
        QCOMPARE(toolkit::twipsToPixelsX(1440), qRound(dpi));
        QCOMPARE(toolkit::twipsToPixelsX(0), 0);
        QCOMPARE(toolkit::pixelsToTwipsX(toolkit::twipsToPixelsX(14400)), 14400);
    }
};

QTEST_MAIN(TestControls)
#include "tst_controls.moc"
