// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "toolkit/messagebox.h"

#include <QString>
#include <QStringList>
#include <vector>

namespace testsupport {

struct Message {
    QString prompt;
    int buttons;
    QString title;
};

struct Choice {
    QString prompt;
    QString title;
    QStringList buttons;
};

// Answers every message box with OK, and every choice with the button
// captioned `answer` (the last when none is), and keeps what they showed.
class MessageRecorder {
public:
    MessageRecorder()
    {
        toolkit::MessageBox::setHandler([this](const QString &p, int b, const QString &t) {
            messages.push_back({p, b, t});
            return toolkit::MessageBox::ResultOk;
        });
        toolkit::MessageBox::setChoiceHandler([this](const QString &p, const QString &t, const QStringList &b) {
            choices.push_back({p, t, b});
            const qsizetype at = b.indexOf(answer);
            return static_cast<int>(at >= 0 ? at : b.size() - 1);
        });
    }
    ~MessageRecorder()
    {
        toolkit::MessageBox::setHandler({});
        toolkit::MessageBox::setChoiceHandler({});
    }
    void clear()
    {
        messages.clear();
        choices.clear();
    }
    std::vector<Message> messages;
    std::vector<Choice> choices;
    QString answer;
};

} // namespace testsupport
