// SPDX-License-Identifier: GPL-3.0-or-later
#include "connection/form2.h"

#include "opc/value.h"
#include "toolkit/icon.h"

#include <QStyle>

namespace quorivo {

using toolkit::FontSpec;
using toolkit::Kind;

namespace {
struct PropertyRow {
    int top;
    const char *nameLabel;
    const char *text;
    const char *valueLabel;
    QSize nameSize;
};

constexpr PropertyRow Rows[] = {
    {120, "Label1", "StartTime", "Label5", {1335, 255}},
    {480, "Label2", "CurrentTime", "Label12", {1332, 252}},
    {840, "Label3", "LastUpdateTime", "Label16", {1572, 252}},
    {1200, "Label6", "MajorVersion", "Label17", {1332, 252}},
    {1560, "Label13", "MinorVersion", "Label18", {1332, 252}},
    {1920, "Label4", "BuildNumber", "Label19", {1332, 252}},
    {2280, "Label8", "VendorInfo", "Label20", {1332, 252}},
    {2640, "Label7", "ServerState", "Label21", {1332, 252}},
    {3000, "Label9", "LocalID", "Label22", {1332, 252}},
    {3360, "Label10", "BandWidth", "Label23", {1332, 252}},
    {3720, "Label11", "ServerName", "Label24", {1332, 252}},
    {4080, "Label14", "ServerNode", "Label25", {1332, 252}},
};
} // namespace

toolkit::WindowDesign form2Design()
{
    const FontSpec light{QStringLiteral("Bookman Old Style"), 8.25, 300};
    toolkit::WindowDesign design{QString::fromUtf8("Proprietà Server"),
                                 {7875, 4680},
                                 {QStringLiteral("Bookman Old Style"), 8.25, 600},
                                 {}};
    for (const auto &row : Rows) {
        design.controls.push_back({QString::fromLatin1(row.nameLabel), Kind::Label, {}, QString::fromLatin1(row.text), {},
                                   {360, row.top, row.nameSize.width(), row.nameSize.height()}, -1, true, {}});
        design.controls.push_back({QString::fromLatin1(row.valueLabel), Kind::Label, {}, QStringLiteral("Label1"), {},
                                   {2160, row.top, 4572, 252}, -1, true, light});
    }
    design.controls.push_back(
        {QStringLiteral("Command1"), Kind::PictureButton, {}, {}, {}, {6960, 4080, 735, 375}, 0, true, {}});
    return design;
}

Form2::Form2() : m_builder(this)
{
    m_builder.build(form2Design());
    m_builder.nameForScreenReaders({{"Command1", "Chiudi"}});
    setWindowIcon(toolkit::programIcon());
    for (size_t i = 0; i < values.size(); ++i)
        values[i] = m_builder.get<toolkit::Label>(QString::fromLatin1(Rows[i].valueLabel));
    Command1 = m_builder.get<toolkit::CommandButton>(QStringLiteral("Command1"));
    Command1->setIcon(style()->standardIcon(QStyle::SP_DialogCloseButton));
    Command1->setFocus();
    connect(Command1, &QPushButton::clicked, this, [this] { Unload(); });
}

void Form2::fill(const OPCAutomation::ServerPtr &server)
{
    if (!server)
        throw opc::OpcError(opc::Status::E_FAIL);
    OPCAutomation::OPCServer &s = *server;
    const auto date = [](const QDateTime &d) { return opc::dateToText(d); };
    values[0]->setCaption(date(s.StartTime()));
    values[1]->setCaption(date(s.CurrentTime()));
    values[2]->setCaption(date(s.LastUpdateTime()));
    values[3]->setCaption(QString::number(s.MajorVersion()));
    values[4]->setCaption(QString::number(s.MinorVersion()));
    values[5]->setCaption(QString::number(s.BuildNumber()));
    values[6]->setCaption(s.VendorInfo());
    values[7]->setCaption(QString::number(s.ServerState()));
    values[8]->setCaption(QString::number(s.LocaleID()));
    values[9]->setCaption(QString::number(s.Bandwidth()));
    values[10]->setCaption(s.ServerName());
    values[11]->setCaption(s.ServerNode());
}

} // namespace quorivo
