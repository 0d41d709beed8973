// SPDX-License-Identifier: GPL-3.0-or-later
#include "toolkit/error.h"
#include "toolkit/listview.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTest>

using toolkit::ListView;
using toolkit::WidgetError;

class TestListView : public QObject {
    Q_OBJECT
private slots:
    void keysAreUniqueWithinTheList()
    {
        ListView view;
        view.ListItems().Add(QStringLiteral("Gruppo1 1"), QStringLiteral("a"));
        QVERIFY_THROWS_EXCEPTION(WidgetError, view.ListItems().Add(QStringLiteral("Gruppo1 1"), QStringLiteral("b")));
        QCOMPARE(view.ListItems().Count(), 1);
        // Rows without a key may repeat; a cleared list forgets its keys.
        view.ListItems().Add();
        view.ListItems().Add();
        view.ListItems().Clear();
        view.ListItems().Add(QStringLiteral("Gruppo1 1"), QStringLiteral("again"));
        QCOMPARE(view.ListItems().Item(1).Text(), QStringLiteral("again"));
    }

    void itemsAreOneBasedAndCarrySubItems()
    {
        ListView view;
        view.ColumnHeaders().Add(QStringLiteral("A"), 600);
        view.ColumnHeaders().Add(QStringLiteral("B"), 600);
        auto row = view.ListItems().Add({}, QStringLiteral("first"));
        row.setSubItems(1, QStringLiteral("sub"));
        QCOMPARE(row.Index(), 1);
        QCOMPARE(view.ListItems().Item(1).SubItems(1), QStringLiteral("sub"));
        QVERIFY_THROWS_EXCEPTION(WidgetError, view.ListItems().Item(0));
        QVERIFY_THROWS_EXCEPTION(WidgetError, view.ListItems().Item(2));
        QVERIFY(!view.SelectedItem());
    }

    void columnHeadersClearToNone()
    {
        ListView view;
        QAbstractItemModelTester tester(view.model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        for (int refill = 0; refill < 3; ++refill) {
            view.ColumnHeaders().Clear();
            for (int c = 0; c < 5; ++c)
                view.ColumnHeaders().Add(QString::number(c), 1000);
            QCOMPARE(view.ColumnHeaders().Count(), 5);
            QCOMPARE(view.model()->columnCount(), 5);
        }
    }

    void largeRewriteSignalsFewRangesAndNoReset()
    {
        ListView view;
        QAbstractItemModelTester tester(view.model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        for (int c = 0; c < 5; ++c)
            view.ColumnHeaders().Add(QString::number(c), 1000);
        constexpr int Rows = 32767;
        for (int r = 0; r < Rows; ++r)
            view.ListItems().Add();
        view.rows()->flush();
        QCOMPARE(view.model()->rowCount(), Rows);

        QSignalSpy changed(view.model(), &QAbstractItemModel::dataChanged);
        QSignalSpy reset(view.model(), &QAbstractItemModel::modelReset);
        for (int r = 1; r <= Rows; ++r) {
            auto row = view.ListItems().Item(r);
            row.setText(QString::number(r));
            for (int c = 1; c < 5; ++c)
                row.setSubItems(c, QString::number(r * c));
        }
        QCOMPARE(changed.count(), 0); // nothing until the turn ends
        QCoreApplication::processEvents();
        QCOMPARE(changed.count(), 1);
        QCOMPARE(reset.count(), 0);
        QCOMPARE(view.model()->data(view.model()->index(Rows - 1, 4)).toString(), QString::number(Rows * 4));

        // Unchanged texts signal nothing; scattered changes come in a bounded number of ranges.
        changed.clear();
        for (int r = 1; r <= Rows; r += 2)
            view.ListItems().Item(r).setText(QString::number(r));
        view.rows()->flush();
        QCOMPARE(changed.count(), 0);
        for (int r = 1; r <= Rows; r += 100)
            view.ListItems().Item(r).setSubItems(2, QStringLiteral("x"));
        view.rows()->flush();
        QVERIFY(changed.count() >= 1);
        QVERIFY(changed.count() <= 32);
    }
};

QTEST_MAIN(TestListView)
#include "tst_listview.moc"
