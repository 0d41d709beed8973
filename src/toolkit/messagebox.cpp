// SPDX-License-Identifier: GPL-3.0-or-later
#include "toolkit/messagebox.h"

#include <QMessageBox>
#include <QPushButton>

namespace toolkit::MessageBox {

namespace {
Handler &handler()
{
    static Handler h;
    return h;
}
} // namespace

int show(const QString &prompt, int buttons, const QString &title)
{
    if (handler())
        return handler()(prompt, buttons, title);
    QMessageBox box(QMessageBox::NoIcon, title, prompt, QMessageBox::Ok);
    box.exec();
    return ResultOk;
}

void setHandler(Handler h) { handler() = std::move(h); }

namespace {
ChoiceHandler &choiceHandler()
{
    static ChoiceHandler h;
    return h;
}
} // namespace

int choose(const QString &prompt, const QString &title, const QStringList &buttons)
{
    if (buttons.isEmpty())
        return -1;
    if (choiceHandler()) {
        const int chosen = choiceHandler()(prompt, title, buttons);
        return chosen >= 0 && chosen < buttons.size() ? chosen : static_cast<int>(buttons.size()) - 1;
    }
    QMessageBox box(QMessageBox::NoIcon, title, prompt, QMessageBox::NoButton);
    QList<QAbstractButton *> made;
    for (const QString &caption : buttons)
        made << box.addButton(caption, QMessageBox::ActionRole);
    box.setEscapeButton(made.last());
    box.setDefaultButton(qobject_cast<QPushButton *>(made.last()));
    box.exec();
    const qsizetype chosen = made.indexOf(box.clickedButton());
    return chosen >= 0 ? static_cast<int>(chosen) : static_cast<int>(buttons.size()) - 1;
}

void setChoiceHandler(ChoiceHandler h) { choiceHandler() = std::move(h); }

} // namespace toolkit::MessageBox
