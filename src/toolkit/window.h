// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QCloseEvent>
#include <QGuiApplication>
#include <QPointer>
#include <QWidget>

namespace toolkit {

// A top-level window that exists at most once. The first access creates it
// in its design state; Unload (or the close box) destroys it, and the next
// access creates it afresh. Shown modeless and without an owner.
template <typename W>
class SingleWindow : public QWidget {
public:
    static W *instance()
    {
        if (!s_window)
            s_window = new W();
        return s_window;
    }
    static W *existing() { return s_window; }

    void Show()
    {
        show();
        // The offscreen platform (tests) has no stacking to change.
        if (QGuiApplication::platformName() != QLatin1String("offscreen")) {
            raise();
            activateWindow();
        }
    }
    void Unload() { close(); }

protected:
    SingleWindow() : QWidget(nullptr) { setAttribute(Qt::WA_DeleteOnClose); }
    ~SingleWindow() override
    {
        if (static_cast<QWidget *>(s_window.data()) == this)
            s_window = nullptr;
    }
    void closeEvent(QCloseEvent *event) override
    {
        event->accept();
        s_window = nullptr;
    }

private:
    static inline QPointer<W> s_window;
};

} // namespace toolkit
