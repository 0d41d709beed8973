#include "app/handlers.h"
#include "app/splash.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    const bool platformChosen = qEnvironmentVariableIsSet("QT_QPA_PLATFORM");
    if (!platformChosen && qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        std::fputs("quorivo: no display found (DISPLAY and WAYLAND_DISPLAY are unset); run it on a desktop or under Xvfb.\n",
                   stderr);
        return EXIT_FAILURE;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorivo"));
    QApplication::setApplicationVersion(QStringLiteral("1.0.0"));
    QApplication::setDesktopFileName(QStringLiteral("quorivo"));
    quorivo::installProgram();
    quorivo::FrmSplash *splash = quorivo::FrmSplash::instance();
    splash->Show();
    // For measuring start-up: paint the splash at once and leave.
    if (qEnvironmentVariableIsSet("QUORIVO_QUIT_AFTER_SPLASH")) {
        splash->repaint();
        return EXIT_SUCCESS;
    }
    return app.exec();
}
