// SPDX-License-Identifier: GPL-3.0-or-later
#include "groups/form4.h"

#include "groups/ratetext.h"
#include "mainwindow/form1.h"
#include "toolkit/guard.h"

namespace quorivo {

using toolkit::Kind;

toolkit::WindowDesign form4Design()
{
    return {
        QStringLiteral("Form4"),
        {5745, 2085},
        {},
        {
            {QStringLiteral("Label1"), Kind::Label, {}, QStringLiteral("Gruppo"), {}, {360, 360, 612, 372}, 0, true, {}},
            {QStringLiteral("Label2"), Kind::Label, {}, QStringLiteral("Update rate"), {}, {120, 960, 972, 372}, 1, true, {}},
            {QStringLiteral("Text1"), Kind::TextBox, {}, {}, {}, {1440, 240, 3492, 375}, 2, false, {}},
            {QStringLiteral("Text2"), Kind::TextBox, {}, {}, {}, {1440, 840, 2295, 375}, 3, true, {}},
            {QStringLiteral("Command1"), Kind::Button, {}, QStringLiteral("Ok"), {}, {4200, 1320, 1332, 495}, 4, true, {}},
        },
    };
}

Form4::Form4() : m_builder(this)
{
    m_builder.build(form4Design());
    m_builder.nameForScreenReaders({{"Text1", "Gruppo"}, {"Text2", "Update rate"}});
    Label1 = m_builder.get<toolkit::Label>(QStringLiteral("Label1"));
    Label2 = m_builder.get<toolkit::Label>(QStringLiteral("Label2"));
    Text1 = m_builder.get<toolkit::TextBox>(QStringLiteral("Text1"));
    Text2 = m_builder.get<toolkit::TextBox>(QStringLiteral("Text2"));
    Command1 = m_builder.get<toolkit::CommandButton>(QStringLiteral("Command1"));
    Text2->setFocus();
    toolkit::connectGuarded(Command1, &QPushButton::clicked, this, "Form4.Command1", [this] { Command1_Click(); });
}

// "Ok" applies the rate to the group this window shows, found again by its
// name, never to whatever the main window has selected meanwhile.
void Form4::Command1_Click()
{
    Form1 *main = Form1::existing();
    if (main) {
        try {
            if (!main->ConnectedServerGroups)
                throw opc::OpcError(opc::Status::E_FAIL);
            auto group = main->ConnectedServerGroups->GetOPCGroup(Text1->Text());
            group->setUpdateRate(rateFromText(Text2->Text()));
        } catch (...) {
            main->DisplayOPC_COM_ErrorValue(QStringLiteral("Group Update Rate"), currentErrorNumber());
        }
    }
    Unload();
}

} // namespace quorivo
