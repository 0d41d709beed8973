#pragma once

#include "toolkit/messagebox.h"

#include <QString>
#include <vector>

namespace testsupport {

struct Message {
    QString prompt;
    int buttons;
    QString title;
};

// Answers every message box with OK and keeps what it showed.
class MessageRecorder {
public:
    MessageRecorder()
    {
        toolkit::MessageBox::setHandler([this](const QString &p, int b, const QString &t) {
            messages.push_back({p, b, t});
            return toolkit::MessageBox::ResultOk;
        });
    }
    ~MessageRecorder() { toolkit::MessageBox::setHandler({}); }
    void clear() { messages.clear(); }
    std::vector<Message> messages;
};

} // namespace testsupport
