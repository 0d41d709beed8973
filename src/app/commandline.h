// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QStringList>
#include <optional>

namespace quorivo {

// What the command line asks for. --help and --version answer on standard
// output and end the program; anything the program does not know ends it
// with a message on standard error. Qt's own options (-platform, -style,
// -display...) pass through to the window toolkit.
struct CommandLine {
    bool run = true;     // start the windows
    int exitCode = 0;    // when not
    QString output;      // for standard output
    QString error;       // for standard error
};
CommandLine parseCommandLine(const QStringList &arguments);

} // namespace quorivo
