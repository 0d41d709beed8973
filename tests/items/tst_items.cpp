// SPDX-License-Identifier: GPL-3.0-or-later
#include "items/form3.h"
#include "support/fakeclock.h"
#include "support/faultserver.h"
#include "support/fixture.h"
#include "support/messages.h"
#include "toolkit/twips.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTest>

using quorivo::Form1;
using quorivo::Form3;
using namespace testsupport;
namespace S = opc::Status;

namespace {

// The texts of row `row` (1-based) of the item table, all five columns.
QStringList rowTexts(Form3 &form, int row)
{
    auto item = form.ListView1->ListItems().Item(row);
    QStringList texts{item.Text()};
    for (int i = 1; i < 5; ++i)
        texts << item.SubItems(i);
    return texts;
}

QStringList headerTexts(Form3 &form)
{
    QStringList texts;
    auto *model = form.ListView1->rows();
    for (int c = 0; c < model->columns(); ++c)
        texts << model->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
    return texts;
}

// A connected main window with one selected group holding the given items.
Form1 &sessionWith(const QString &group, const QStringList &itemIds, const QString &rate = QStringLiteral("100"))
{
    Form1 &f = openMainWindow();
    connectToSimulation(f);
    addGroup(f, group, rate);
    selectGroup(f, group);
    for (const QString &id : itemIds)
        addItem(f, id);
    return f;
}

// "Proprietà Items"; an empty group leaves the button disabled, so the
// public procedure is called directly there.
Form3 &openProperties(Form1 &f)
{
    if (f.Command3->isEnabled())
        click(f.Command3);
    else
        f.Command3_Click();
    Form3 *form = Form3::existing();
    if (!form)
        qFatal("the item properties window did not open");
    return *form;
}

opc::Value deviceValue(Form1 &f, const QString &group, int position)
{
    auto item = f.ConnectedServerGroups->GetOPCGroup(group)->OPCItems()->Item(position);
    item->Read(OPCAutomation::OPCDevice);
    return item->ItemValue();
}

} // namespace

class TestItems : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { closeAllWindows(); }

    // --- adding and removing ---

    void enableRows_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("row");
        QTest::newRow("selected, empty group") << QStringList{} << "DDDEEEEEEEDEDE";
        QTest::newRow("add, success") << QStringList{"add Random.Int4"} << "DDDEEEEEEEEEEE";
        QTest::newRow("add, unknown ID") << QStringList{"add Nowhere.Nothing"} << "DDDEEEEEEEDEDE";
        QTest::newRow("add, the design blank") << QStringList{"add  "} << "DDDEEEEEEEDEDE";
        QTest::newRow("add, empty text") << QStringList{"add "} << "DDDEEEEEEEDEDE";
        QTest::newRow("remove the last item")
            << QStringList{"add Random.Int4", "pick 1", "remove"} << "DDDEEEEEEEEEEE";
        QTest::newRow("remove, no row selected") << QStringList{"add Random.Int4", "remove"} << "DDDEEEEEEEEEEE";
        QTest::newRow("remove in an empty group") << QStringList{"remove"} << "DDDEEEEEEEDEDE";
    }

    void enableRows()
    {
        QFETCH(QStringList, steps);
        QFETCH(QString, row);
        MessageRecorder messages;
        Form1 &f = sessionWith(QStringLiteral("G"), {});
        for (const QString &step : steps) {
            if (step.startsWith(QLatin1String("add ")))
                addItem(f, step.mid(4));
            else if (step.startsWith(QLatin1String("pick ")))
                pickListViewRow(f.ListView2, step.mid(5).toInt());
            else if (step == QLatin1String("remove"))
                click(f.Command7);
        }
        QCOMPARE(f.enableRow(), row);
        QVERIFY(messages.messages.empty());
    }

    void sameItemTwiceIsListedTwice()
    {
        Form1 &f = sessionWith(QStringLiteral("Gruppo1"), {"Random.Int4", "Random.Int4"});
        QCOMPARE(listViewKeys(f.ListView2), (QStringList{"Gruppo1 1", "Gruppo1 2"}));
        QCOMPARE(listViewTexts(f.ListView2), (QStringList{"Random.Int4", "Random.Int4"}));
        QCOMPARE(f.ListView2->View(), toolkit::ListView::ReportView);
    }

    void itemsCarryTheGroupsClientHandle()
    {
        Form1 &f = sessionWith(QStringLiteral("G"), {"Random.Int4", "Counter"});
        auto group = f.ConnectedServerGroups->GetOPCGroup(QStringLiteral("G"));
        for (int i = 1; i <= 2; ++i)
            QCOMPARE(group->OPCItems()->Item(i)->ClientHandle(), group->ClientHandle());
    }

    void removingRowKOfN_data()
    {
        QTest::addColumn<int>("k");
        QTest::addColumn<QStringList>("left");
        QTest::newRow("first") << 1 << QStringList{"Random.Int2", "Random.Int4", "Counter"};
        QTest::newRow("middle") << 3 << QStringList{"Random.Int1", "Random.Int2", "Counter"};
        QTest::newRow("last") << 4 << QStringList{"Random.Int1", "Random.Int2", "Random.Int4"};
    }

    void removingRowKOfN()
    {
        QFETCH(int, k);
        QFETCH(QStringList, left);
        Form1 &f = sessionWith(QStringLiteral("G"), {"Random.Int1", "Random.Int2", "Random.Int4", "Counter"});
        pickListViewRow(f.ListView2, k);
        click(f.Command7);
        QCOMPARE(listViewTexts(f.ListView2), left);
        QCOMPARE(listViewKeys(f.ListView2), (QStringList{"G 1", "G 2", "G 3"}));
        QCOMPARE(f.ConnectedServerGroups->GetOPCGroup(QStringLiteral("G"))->OPCItems()->Count(), 3);
    }

    void theRowsPositionAloneNamesTheItem()
    {
        // Two rows with one text: removing row 2 takes the second item.
        Form1 &f = sessionWith(QStringLiteral("G"), {"Registers.Int4", "Registers.Int4"});
        auto items = f.ConnectedServerGroups->GetOPCGroup(QStringLiteral("G"))->OPCItems();
        const int32_t first = items->Item(1)->ServerHandle();
        pickListViewRow(f.ListView2, 2);
        click(f.Command7);
        QCOMPARE(items->Count(), 1);
        QCOMPARE(items->Item(1)->ServerHandle(), first);
    }

    void anUnknownIdChangesNothing()
    {
        MessageRecorder messages;
        Form1 &f = sessionWith(QStringLiteral("G"), {"Counter"});
        f.ListView2->rows()->flush();
        addItem(f, QStringLiteral("Counter.Not.There"));
        QCOMPARE(listViewTexts(f.ListView2), QStringList{"Counter"});
        QCOMPARE(f.ConnectedServerGroups->GetOPCGroup(QStringLiteral("G"))->OPCItems()->Count(), 1);
        QVERIFY(messages.messages.empty());
    }

    void theIdIsPassedUnchanged()
    {
        // A trailing blank makes another ID, which the server does not know.
        Form1 &f = sessionWith(QStringLiteral("G"), {"Counter "});
        QCOMPARE(f.ListView2->ListItems().Count(), 0);
    }

    void aFailingRebuildKeepsTheRowsSoFar()
    {
        FaultyComponent faults;
        Form1 &f = sessionWith(QStringLiteral("G"), {"Random.Int1", "Random.Int2"});
        // The third item's ID fails during the next rebuild.
        faults.plan->failName = QStringLiteral("OPCItem.ItemID");
        faults.plan->failNameOccurrence = faults.plan->count(QStringLiteral("OPCItem.ItemID")) + 3;
        addItem(f, QStringLiteral("Random.Int4"));
        QCOMPARE(listViewTexts(f.ListView2), (QStringList{"Random.Int1", "Random.Int2"}));
        // The add itself went through; the buttons were not reached.
        QCOMPARE(f.ConnectedServerGroups->GetOPCGroup(QStringLiteral("G"))->OPCItems()->Count(), 3);
    }

    // --- the item properties window ---

    void layout_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("twips");
        QTest::addColumn<QString>("caption");
        QTest::newRow("ListView1") << "ListView1" << QRect(300, 360, 8832, 3612) << "";
        QTest::newRow("Frame1") << "Frame1" << QRect(114, 120, 9252, 3972) << "";
        QTest::newRow("Text2") << "Text2" << QRect(240, 4680, 3135, 375) << "";
        QTest::newRow("Command2") << "Command2" << QRect(3480, 4320, 1335, 255) << "Scrivi Valore";
        QTest::newRow("Text1") << "Text1" << QRect(3480, 4680, 1335, 375) << "";
        QTest::newRow("Frame2") << "Frame2" << QRect(120, 4080, 4935, 1212) << "";
        QTest::newRow("Command1") << "Command1" << QRect(6000, 4680, 3132, 375) << "Esci";
        QTest::newRow("Frame3") << "Frame3" << QRect(5760, 4320, 3612, 972) << "";
    }

    void layout()
    {
        QFETCH(QString, name);
        QFETCH(QRect, twips);
        QFETCH(QString, caption);
        Form1 &f = sessionWith(QStringLiteral("G"), {});
        Form3 &form = openProperties(f);
        QCOMPARE(form.windowTitle(), QStringLiteral("Proprietà"));
        QCOMPARE(form.size(), toolkit::twipsToPixels(QSize(9480, 5355)));
        auto *w = form.findChild<QWidget *>(name);
        QVERIFY(w);
        QCOMPARE(w->geometry(), toolkit::twipsToPixels(twips));
        if (auto *button = qobject_cast<QAbstractButton *>(w))
            QCOMPARE(button->text(), caption);
        if (auto *box = qobject_cast<QLineEdit *>(w))
            QCOMPARE(box->text(), caption);
    }

    void fillShowsOneRowPerItem()
    {
        ManualClock clock;
        Form1 &f = sessionWith(QStringLiteral("G"), {"Random.Real8", "Registers.Int4", "Registers.String"}, "250");
        Form3 &form = openProperties(f);
        QVERIFY(form.isVisible());
        QCOMPARE(f.Grp1->Name(), QStringLiteral("G"));
        QCOMPARE(headerTexts(form), (QStringList{"ItemID", "Value", "DataType", "Quality", "TimeStamp"}));
        const int sixth = toolkit::twipsToPixelsX(static_cast<int>(std::lround(form.ListView1->Width() / 6.0)));
        for (int c = 0; c < 5; ++c)
            QCOMPARE(form.ListView1->rows()->columnWidth(c), sixth);
        QCOMPARE(form.ListView1->View(), toolkit::ListView::ReportView);
        QCOMPARE(form.Timer1->Interval(), 250);
        QCOMPARE(form.ListView1->ListItems().Count(), 3);
        const QStringList real = rowTexts(form, 1);
        QCOMPARE(real[0], QStringLiteral("Random.Real8"));
        QCOMPARE(real[2], QStringLiteral("5"));
        QCOMPARE(real[3], QStringLiteral("192"));
        QVERIFY(!real[1].isEmpty());
        QCOMPARE(rowTexts(form, 2).mid(0, 4), (QStringList{"Registers.Int4", "0", "3", "192"}));
        QCOMPARE(rowTexts(form, 3).mid(0, 4), (QStringList{"Registers.String", "", "8", "192"}));
    }

    void aTickRefreshesValuesAndTimestamps()
    {
        ManualClock clock;
        Form1 &f = sessionWith(QStringLiteral("G"), {"Counter", "Random.Real8"}, "1000");
        Form3 &form = openProperties(f);
        const QStringList before1 = rowTexts(form, 1), before2 = rowTexts(form, 2);
        clock.advance(500); // within the same sample: nothing moves
        form.Timer1_Timer();
        QCOMPARE(rowTexts(form, 1), before1);
        clock.advance(1000);
        form.Timer1_Timer();
        const QStringList after1 = rowTexts(form, 1), after2 = rowTexts(form, 2);
        QCOMPARE(after1[0], before1[0]);
        QVERIFY(after1[1] != before1[1]);
        QVERIFY(after1[4] != before1[4]);
        QVERIFY(after2[1] != before2[1]);
        QCOMPARE(after1[4], opc::dateToText(QDateTime::fromMSecsSinceEpoch(clock.nowMs() - 500)));
    }

    void theTimerTicksAtTheGroupsRate()
    {
        Form1 &f = sessionWith(QStringLiteral("G"), {"Counter"}, "20");
        Form3 &form = openProperties(f);
        QSignalSpy ticks(form.Timer1, &toolkit::Timer::Tick);
        QTRY_VERIFY(ticks.count() >= 3);
        QVERIFY(form.Timer1->isTicking());
    }

    void refillingKeepsFiveColumns()
    {
        Form1 &f = sessionWith(QStringLiteral("A"), {"Counter", "Heartbeat"});
        openProperties(f);
        Form3 &form = openProperties(f);
        QCOMPARE(form.ListView1->ColumnHeaders().Count(), 5);
        QCOMPARE(form.ListView1->ListItems().Count(), 2);
        // Refilled with another group: its rows only, its rate.
        addGroup(f, QStringLiteral("B"), QStringLiteral("500"));
        selectGroup(f, QStringLiteral("B"));
        addItem(f, QStringLiteral("Random.Int2"));
        openProperties(f);
        QCOMPARE(form.ListView1->ColumnHeaders().Count(), 5);
        QCOMPARE(listViewTexts(form.ListView1), QStringList{"Random.Int2"});
        QCOMPARE(form.Timer1->Interval(), 500);
    }

    void aRateChangeWaitsForTheNextFill()
    {
        Form1 &f = sessionWith(QStringLiteral("G"), {"Counter"}, "1000");
        Form3 &form = openProperties(f);
        f.Grp1->setUpdateRate(2000);
        QCOMPARE(form.Timer1->Interval(), 1000);
        openProperties(f);
        QCOMPARE(form.Timer1->Interval(), 2000);
    }

    void rowClickCopiesTheId()
    {
        Form1 &f = sessionWith(QStringLiteral("G"), {"Counter", "Heartbeat"});
        Form3 &form = openProperties(f);
        form.Text1->setText(QStringLiteral("old"));
        pickListViewRow(form.ListView1, 2);
        QCOMPARE(form.Text2->Text(), QStringLiteral("Heartbeat"));
        QCOMPARE(form.Text1->Text(), QString());
    }

    void clickOnAnEmptyTableDoesNothing()
    {
        MessageRecorder messages;
        Form1 &f = sessionWith(QStringLiteral("G"), {});
        Form3 &form = openProperties(f);
        QCOMPARE(form.ListView1->ColumnHeaders().Count(), 5);
        QCOMPARE(form.ListView1->ListItems().Count(), 0);
        form.Text1->setText(QStringLiteral("kept"));
        emit form.ListView1->Click();
        form.Timer1_Timer();
        QCOMPARE(form.Text1->Text(), QStringLiteral("kept"));
        QCOMPARE(form.Text2->Text(), QString());
        QVERIFY(messages.messages.empty());
    }

    void aWrittenRegisterShowsAtALaterTick()
    {
        ManualClock clock;
        Form1 &f = sessionWith(QStringLiteral("G"), {"Counter", "Registers.Int4"}, "1000");
        Form3 &form = openProperties(f);
        clock.advance(1); // between two samples
        pickListViewRow(form.ListView1, 2);
        form.Text1->setText(QStringLiteral("42"));
        click(form.Command2);
        form.Timer1_Timer(); // the cache has not sampled since the write
        QCOMPARE(rowTexts(form, 2)[1], QStringLiteral("0"));
        clock.advance(1000);
        form.Timer1_Timer();
        QCOMPARE(rowTexts(form, 2)[1], QStringLiteral("42"));
        QCOMPARE(rowTexts(form, 2)[2], QStringLiteral("3"));
    }

    void writeFailuresAreSilent_data()
    {
        QTest::addColumn<QString>("itemId");
        QTest::addColumn<QString>("text");
        QTest::newRow("read-only") << "Counter" << "5";
        QTest::newRow("not a number") << "Registers.Int4" << "cinque";
        QTest::newRow("overflow") << "Registers.Int2" << "40000";
        QTest::newRow("server refuses") << "Faults.WriteError" << "1";
    }

    void writeFailuresAreSilent()
    {
        QFETCH(QString, itemId);
        QFETCH(QString, text);
        MessageRecorder messages;
        Form1 &f = sessionWith(QStringLiteral("G"), {itemId});
        Form3 &form = openProperties(f);
        pickListViewRow(form.ListView1, 1);
        form.Text1->setText(text);
        click(form.Command2);
        QVERIFY(messages.messages.empty());
        QVERIFY(Form3::existing());
    }

    void writeWithoutASelectedRowWritesNothing()
    {
        Form1 &f = sessionWith(QStringLiteral("G"), {"Registers.Int4"});
        Form3 &form = openProperties(f);
        form.Text1->setText(QStringLiteral("9"));
        click(form.Command2);
        QCOMPARE(deviceValue(f, QStringLiteral("G"), 1).toInt64(), 0);
    }

    void writeGoesToTheShownGroupAfterTheSelectionChanged()
    {
        ManualClock clock;
        Form1 &f = sessionWith(QStringLiteral("A"), {"Registers.Int4"}, "1000");
        Form3 &form = openProperties(f);
        addGroup(f, QStringLiteral("B"));
        selectGroup(f, QStringLiteral("B"));
        addItem(f, QStringLiteral("Registers.Int2"));
        pickListViewRow(form.ListView1, 1);
        form.Text1->setText(QStringLiteral("7"));
        click(form.Command2);
        QCOMPARE(deviceValue(f, QStringLiteral("A"), 1).toInt64(), 7);
        QCOMPARE(deviceValue(f, QStringLiteral("B"), 1).toInt64(), 0);
        clock.advance(1000);
        form.Timer1_Timer();
        QCOMPARE(rowTexts(form, 1)[1], QStringLiteral("7"));
    }

    void writeToARemovedItemWritesNothing()
    {
        Form1 &f = sessionWith(QStringLiteral("G"), {"Registers.Int4", "Registers.Int2"});
        Form3 &form = openProperties(f);
        // Remove row 1 from the main window; row 1 of the table still shows it.
        pickListViewRow(f.ListView2, 1);
        click(f.Command7);
        pickListViewRow(form.ListView1, 1);
        form.Text1->setText(QStringLiteral("3"));
        click(form.Command2);
        QCOMPARE(deviceValue(f, QStringLiteral("G"), 1).toInt64(), 0); // Registers.Int2, untouched
    }

    void ticksAfterTheGroupIsGone_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("disconnect") << "disconnect";
        QTest::newRow("group removed") << "remove";
        QTest::newRow("item removed") << "item";
        QTest::newRow("item added") << "add";
    }

    void ticksAfterTheGroupIsGone()
    {
        QFETCH(QString, how);
        ManualClock clock;
        MessageRecorder messages;
        Form1 &f = sessionWith(QStringLiteral("G"), {"Counter", "Registers.Int4"});
        Form3 &form = openProperties(f);
        if (how == QLatin1String("disconnect")) {
            click(f.DisconnectFromServer);
        } else if (how == QLatin1String("remove")) {
            click(f.Command4);
        } else if (how == QLatin1String("item")) {
            pickListViewRow(f.ListView2, 1);
            click(f.Command7);
        } else {
            addItem(f, QStringLiteral("Heartbeat"));
        }
        for (int i = 0; i < 5; ++i) {
            clock.advance(100);
            form.Timer1_Timer();
        }
        QCOMPARE(form.ListView1->ListItems().Count(), 2);
        QCOMPARE(rowTexts(form, 1).size(), 5);
        QVERIFY(messages.messages.empty());
    }

    void aFailingFillUnloadsANewWindow()
    {
        MessageRecorder messages;
        Form1 &f = sessionWith(QStringLiteral("G"), {"Counter", "Faults.ReadError"});
        click(f.Command3);
        QVERIFY(!Form3::existing());
        QCOMPARE(f.Grp1->Name(), QStringLiteral("G")); // the lookup had succeeded
        QVERIFY(messages.messages.empty());
    }

    void aFailingRefillKeepsTheOpenWindow()
    {
        Form1 &f = sessionWith(QStringLiteral("G"), {"Counter"});
        Form3 &form = openProperties(f);
        addItem(f, QStringLiteral("Faults.ReadError"));
        click(f.Command3);
        QCOMPARE(Form3::existing(), &form);
        QCOMPARE(listViewTexts(form.ListView1), QStringList{"Counter"}); // rows filled so far stay
    }

    void closingDropsTheTable()
    {
        Form1 &f = sessionWith(QStringLiteral("G"), {"Counter"});
        Form3 &form = openProperties(f);
        click(form.Command1);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!Form3::existing());
        QCOMPARE(f.Grp1->Name(), QStringLiteral("G"));
    }

    // --- the table model ---

    void theModelStaysConsistent()
    {
        ManualClock clock;
        Form1 &f = sessionWith(QStringLiteral("G"), {"Counter", "Random.Real8"});
        Form3 &form = openProperties(f);
        QAbstractItemModelTester tester(form.ListView1->model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        for (int i = 0; i < 3; ++i) {
            clock.advance(100);
            form.Timer1_Timer();
            QCoreApplication::processEvents();
        }
        addItem(f, QStringLiteral("Heartbeat"));
        click(f.Command3);
        QCoreApplication::processEvents();
        QCOMPARE(form.ListView1->model()->rowCount(), 3);
        QCOMPARE(form.ListView1->model()->columnCount(), 5);
    }

    void aTickOverManyItemsSignalsFewRanges()
    {
        ManualClock clock;
        Form1 &f = sessionWith(QStringLiteral("G"), {});
        auto items = f.ConnectedServerGroups->GetOPCGroup(QStringLiteral("G"))->OPCItems();
        for (int i = 0; i < 1000; ++i)
            items->AddItem(QStringLiteral("Random.Real8"), 0);
        Form3 &form = openProperties(f);
        auto *model = form.ListView1->model();
        QCoreApplication::processEvents();
        QSignalSpy changed(model, &QAbstractItemModel::dataChanged);
        QSignalSpy resets(model, &QAbstractItemModel::modelReset);
        QSignalSpy inserted(model, &QAbstractItemModel::rowsInserted);
        const QString before = rowTexts(form, 1000)[1];
        clock.advance(100);
        form.Timer1_Timer();
        QCoreApplication::processEvents();
        QVERIFY(rowTexts(form, 1000)[1] != before);
        QVERIFY(changed.count() >= 1);
        QVERIFY2(changed.count() <= 32, qPrintable(QString::number(changed.count())));
        QCOMPARE(resets.count(), 0);
        QCOMPARE(inserted.count(), 0);
        int covered = 0;
        for (const auto &args : changed)
            covered += args[1].toModelIndex().row() - args[0].toModelIndex().row() + 1;
        QVERIFY(covered >= 1000);
        // A tick where nothing changed signals nothing.
        changed.clear();
        form.Timer1_Timer();
        QCoreApplication::processEvents();
        QCOMPARE(changed.count(), 0);
    }

    // Only the rows whose raw data moved are signalled, and their texts are
    // made from the new data when read; the raw data sit beside the text.
    void aTickSignalsOnlyRowsWhoseDataChanged()
    {
        ManualClock clock;
        Form1 &f = sessionWith(QStringLiteral("G"), {"Registers.Int4", "Registers.Int2", "Registers.Real8"}, "1000");
        Form3 &form = openProperties(f);
        auto *model = form.ListView1->model();
        QCoreApplication::processEvents();
        QSignalSpy changed(model, &QAbstractItemModel::dataChanged);
        const auto writtenAt = QDateTime::fromMSecsSinceEpoch(clock.nowMs(), Qt::UTC);
        f.ConnectedServerGroups->GetOPCGroup(QStringLiteral("G"))->OPCItems()->Item(2)->Write(opc::Value::text("-12"));
        clock.advance(1000);
        form.Timer1_Timer();
        QCoreApplication::processEvents();
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed[0][0].toModelIndex().row(), 1);
        QCOMPARE(changed[0][1].toModelIndex().row(), 1);
        QCOMPARE(rowTexts(form, 2)[1], QStringLiteral("-12"));
        QCOMPARE(model->data(model->index(1, 1), Qt::DisplayRole).toString(), QStringLiteral("-12"));
        const auto raw = model->data(model->index(1, 1), Qt::UserRole).value<opc::Value>();
        QCOMPARE(raw.type(), uint16_t{opc::VT_I2});
        QCOMPARE(raw.toInt64(), -12);
        QCOMPARE(model->data(model->index(1, 3), Qt::UserRole).toInt(), 192);
        QCOMPARE(model->data(model->index(1, 4), Qt::UserRole).toDateTime(), writtenAt);
    }

    // An array item no longer hides the group: every row fills, arrays in
    // the form writes take, and a written array shows at the next refresh.
    void arrayItemsShowBesideScalars()
    {
        ManualClock clock;
        Form1 &f = sessionWith(QStringLiteral("G"), {"Registers.Int4", "Random.ArrayOfReal8", "Registers.ArrayOfInt4"},
                               "1000");
        Form3 &form = openProperties(f);
        QCOMPARE(form.ListView1->ListItems().Count(), 3);
        QCOMPARE(rowTexts(form, 1)[1], QStringLiteral("0"));
        const QString random = rowTexts(form, 2)[1];
        QVERIFY2(random.startsWith(QLatin1Char('{')) && random.endsWith(QLatin1Char('}')) && random.contains(QLatin1Char(';')),
                 qPrintable(random));
        QCOMPARE(rowTexts(form, 3), (QStringList{"Registers.ArrayOfInt4", "{}", "8195", "192", rowTexts(form, 3)[4]}));
        pickListViewRow(form.ListView1, 3);
        form.Text1->setText(QStringLiteral("{1;2;3}"));
        click(form.Command2);
        clock.advance(1000);
        form.Timer1_Timer();
        QCOMPARE(rowTexts(form, 3)[1], QStringLiteral("{1;2;3}"));
    }
};

QTEST_MAIN(TestItems)
#include "tst_items.moc"
