// SPDX-License-Identifier: GPL-3.0-or-later
#include "items/form3.h"

#include "groups/grouphandlers.h"
#include "mainwindow/form1.h"
#include "opc/value.h"
#include "toolkit/guard.h"

namespace quorivo {

using OPCAutomation::OPCCache;
using toolkit::Kind;

toolkit::WindowDesign form3Design()
{
    const auto t = [](const char *s) { return QString::fromUtf8(s); };
    return {
        t("Proprietà"),
        {9480, 5355},
        {},
        {
            {t("Frame1"), Kind::Frame, {}, {}, {}, {114, 120, 9252, 3972}, 4, true, {}},
            {t("Frame2"), Kind::Frame, {}, {}, {}, {120, 4080, 4935, 1212}, 5, true, {}},
            {t("Frame3"), Kind::Frame, {}, {}, {}, {5760, 4320, 3612, 972}, 7, true, {}},
            {t("ListView1"), Kind::ListView, {}, {}, {}, {300, 360, 8832, 3612}, 6, true, {}},
            {t("Text2"), Kind::TextBox, {}, {}, {}, {240, 4680, 3135, 375}, 3, true, {}},
            {t("Command2"), Kind::Button, {}, t("Scrivi Valore"), {}, {3480, 4320, 1335, 255}, 2, true, {}},
            {t("Text1"), Kind::TextBox, {}, {}, {}, {3480, 4680, 1335, 375}, 1, true, {}},
            {t("Command1"), Kind::Button, {}, t("Esci"), {}, {6000, 4680, 3132, 375}, 0, true, {}},
        },
    };
}

ItemRow itemRowOf(OPCAutomation::OPCItem &item, const ItemRow *shown)
{
    const int32_t handle = item.ServerHandle();
    const bool same = shown && shown->serverHandle == handle;
    return {same ? shown->itemId : item.ItemID(), item.ItemValue(),
            same ? shown->dataType : item.CanonicalDataType(), item.Quality(), item.TimeStamp(), handle};
}

RowTexts itemRowTexts(OPCAutomation::OPCItem &item)
{
    const ItemRow row = itemRowOf(item);
    return {row.itemId, valueCellText(row.value), QString::number(row.dataType), QString::number(row.quality),
            opc::dateToText(row.timeStamp)};
}

Form3::Form3() : m_builder(this)
{
    m_builder.build(form3Design());
    m_builder.nameForScreenReaders({{"ListView1", "Proprietà degli Item"}, {"Text2", "ItemID"}, {"Text1", "Valore"}});
    ListView1 = m_builder.get<toolkit::ListView>(QStringLiteral("ListView1"));
    Text2 = m_builder.get<toolkit::TextBox>(QStringLiteral("Text2"));
    Command2 = m_builder.get<toolkit::CommandButton>(QStringLiteral("Command2"));
    Text1 = m_builder.get<toolkit::TextBox>(QStringLiteral("Text1"));
    Command1 = m_builder.get<toolkit::CommandButton>(QStringLiteral("Command1"));
    m_table = new ItemTable(ListView1);
    ListView1->setRowsModel(m_table);
    // Enabled from creation with its design interval; the fill sets the group's rate.
    Timer1 = new toolkit::Timer(this, 10);

    using toolkit::connectGuarded;
    connectGuarded(Timer1, &toolkit::Timer::Tick, this, "Form3.Timer1", [this] { Timer1_Timer(); });
    connectGuarded(ListView1, &toolkit::ListView::Click, this, "Form3.ListView1", [this] { ListView1_Click(); });
    connectGuarded(Command2, &QPushButton::clicked, this, "Form3.Command2", [this] { Command2_Click(); });
    connect(Command1, &QPushButton::clicked, this, [this] { Unload(); });
}

void Form3::fill(OPCAutomation::OPCGroup &group, OPCAutomation::OPCItems &items, int32_t n)
{
    ListView1->ListItems().Clear();
    auto headers = ListView1->ColumnHeaders();
    headers.Clear();
    const double width = ListView1->Width() / 6.0;
    for (const char *title : {"ItemID", "Value", "DataType", "Quality", "TimeStamp"})
        headers.Add(QString::fromLatin1(title), width);
    ListView1->setView(toolkit::ListView::ReportView);
    Timer1->setInterval(group.UpdateRate());
    for (int32_t i = 1; i <= n; ++i) {
        auto item = items.Item(position16(i));
        item->Read(OPCCache);
        ListView1->ListItems().Add();
        m_table->setItemRow(i - 1, itemRowOf(*item));
    }
}

// A tick that cannot finish leaves the rows it could not refresh as they
// were and tries again next time; it never shows a message, which would
// come back every tick.
void Form3::Timer1_Timer()
{
    const Form1 *main = Form1::existing();
    if (!main || !main->Grp1)
        return;
    OPCAutomation::ItemsPtr items;
    int32_t n = 0;
    try {
        items = main->Grp1->OPCItems();
        n = items->Count();
    } catch (...) {
        return;
    }
    const int32_t rows = std::min({n, ListView1->ListItems().Count(), int32_t{INT16_MAX}});
    for (int32_t i = 1; i <= rows; ++i) {
        endSilentlyOnFailure([&] {
            auto item = items->Item(i);
            item->Read(OPCCache);
            m_table->setItemRow(i - 1, itemRowOf(*item, m_table->itemRow(i - 1)));
        });
    }
}

void Form3::ListView1_Click()
{
    const auto selected = ListView1->SelectedItem();
    if (!selected)
        return;
    Text2->setText(selected->Text());
    Text1->setText({});
}

// Writes to the item the selected row shows, in the group this window shows.
void Form3::Command2_Click()
{
    endSilentlyOnFailure([&] {
        const Form1 *main = Form1::existing();
        const auto selected = ListView1->SelectedItem();
        if (!main || !main->Grp1 || !selected)
            return;
        // Row n shows item n of the group, so the item is found at the
        // row's position; one that moved or went since the last refresh
        // (its handle is not the row's) is written nothing.
        const int32_t handle = m_table->handleOf(selected->Index() - 1);
        auto item = main->Grp1->OPCItems()->Item(selected->Index());
        if (handle != 0 && item->ServerHandle() == handle)
            item->Write(opc::Value::text(Text1->Text()));
    });
}

} // namespace quorivo
