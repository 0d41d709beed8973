// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/commandline.h"

#include <QCommandLineParser>

namespace quorivo {

namespace {
// The options every Qt program takes; the toolkit reads them itself.
const char *const QtValueOptions[] = {"platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
                                      "qwindowicon", "qwindowtitle", "display", "geometry", "style", "stylesheet",
                                      "session", "name", "title", "visual"};
const char *const QtFlagOptions[] = {"reverse", "widgetcount", "nograb", "dograb", "sync"};

// Exit status for a command line the program cannot use, as is usual.
constexpr int UsageError = 2;
} // namespace

CommandLine parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Quorivo, a test client for OPC servers: lists, connects, "
                                                    "browses, watches and writes items by hand."));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    for (const char *name : QtValueOptions) {
        QCommandLineOption option(QString::fromLatin1(name), {}, QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    for (const char *name : QtFlagOptions) {
        QCommandLineOption option(QString::fromLatin1(name));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }

    CommandLine out;
    const QString usage = QStringLiteral("Try 'quorivo --help' for the options.\n");
    if (!parser.parse(arguments)) {
        out = {false, UsageError, {}, QStringLiteral("quorivo: ") + parser.errorText() + QLatin1Char('\n') + usage};
    } else if (!parser.positionalArguments().isEmpty()) {
        out = {false, UsageError, {},
               QStringLiteral("quorivo: unexpected argument '%1'\n").arg(parser.positionalArguments().first()) + usage};
    } else if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
        // Read before the application exists, the parser cannot name the program.
        QString text = parser.helpText();
        text.replace(QStringLiteral("<executable_name>"), QStringLiteral("quorivo"));
        out = {false, 0, text, {}};
    } else if (parser.isSet(version)) {
        out = {false, 0,
               QStringLiteral("%1 %2\nOPC UA security policies: None, Basic256Sha256, Aes128_Sha256_RsaOaep, Aes256_Sha256_RsaPss\n"
                              "OPC UA security modes: None, Sign, SignAndEncrypt\n")
                   .arg(QCoreApplication::applicationName(), QCoreApplication::applicationVersion()),
               {}};
    }
    return out;
}

} // namespace quorivo
