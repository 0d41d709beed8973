// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/commandline.h"
#include "app/handlers.h"
#include "app/splash.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    // The command line is read before any window or display is needed, so
    // --help and --version answer anywhere.
    const quorivo::AppIdentity identity = quorivo::appIdentity();
    QCoreApplication::setApplicationName(identity.title);
    QCoreApplication::setApplicationVersion(
        QStringLiteral("%1.%2.%3").arg(identity.major).arg(identity.minor).arg(identity.revision));
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const quorivo::CommandLine command = quorivo::parseCommandLine(arguments);
    if (!command.run) {
        std::fputs(command.output.toLocal8Bit().constData(), stdout);
        std::fputs(command.error.toLocal8Bit().constData(), stderr);
        return command.exitCode;
    }
    const bool platformChosen = qEnvironmentVariableIsSet("QT_QPA_PLATFORM") ||
                                arguments.contains(QStringLiteral("-platform")) ||
                                arguments.contains(QStringLiteral("--platform"));
    if (!platformChosen && qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        std::fputs("quorivo: no display found (DISPLAY and WAYLAND_DISPLAY are unset); run it on a desktop or under Xvfb.\n",
                   stderr);
        return EXIT_FAILURE;
    }
    QApplication app(argc, argv);
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
