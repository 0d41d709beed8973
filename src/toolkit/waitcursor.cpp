// SPDX-License-Identifier: GPL-3.0-or-later
#include "toolkit/waitcursor.h"

#include <QCursor>
#include <QGuiApplication>
#include <QThread>
#include <dlfcn.h>

namespace toolkit {

namespace {
// The window thread is about to block without turning its event loop: the
// cursor change must reach the X server now, not at the next turn.
void sendToWindowSystem()
{
#if QT_CONFIG(xcb)
    if (auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>()) {
        // libxcb is loaded by the platform plugin; the program does not link it.
        using Flush = int (*)(xcb_connection_t *);
        static const auto flush = reinterpret_cast<Flush>(dlsym(RTLD_DEFAULT, "xcb_flush"));
        if (flush && x11->connection())
            flush(x11->connection());
    }
#endif
}
} // namespace

void showWaitCursor(bool waiting)
{
    if (!qGuiApp || QThread::currentThread() != qGuiApp->thread())
        return;
    if (waiting)
        QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    else
        QGuiApplication::restoreOverrideCursor();
    sendToWindowSystem();
}

} // namespace toolkit
