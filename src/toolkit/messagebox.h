// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>
#include <functional>

namespace toolkit {

// Every modal message of the program goes through here, so tests can answer
// and record it instead of blocking on a real dialog.
namespace MessageBox {

constexpr int OkOnly = 0;
constexpr int ResultOk = 1;

using Handler = std::function<int(const QString &prompt, int buttons, const QString &title)>;

int show(const QString &prompt, int buttons, const QString &title);

// Replaces the real dialog; an empty handler restores it.
void setHandler(Handler handler);

// A modal choice among buttons with the program's own captions: the index
// of the button pressed; the last button when the window is closed
// otherwise (it is the one that changes nothing).
using ChoiceHandler = std::function<int(const QString &prompt, const QString &title, const QStringList &buttons)>;
int choose(const QString &prompt, const QString &title, const QStringList &buttons);
void setChoiceHandler(ChoiceHandler handler);

} // namespace MessageBox
} // namespace toolkit
