// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <optional>

namespace opc::ua {

// Where to go: "opc.tcp://[user:password@]host[:port][/path]".
struct Target {
    QString host;
    quint16 port = 4840;
    QString url; // without credentials
    QString user;
    QString password;
};
// Nothing for a text that is not such a URL.
std::optional<Target> parseTarget(const QString &node);
bool isUaNode(const QString &node);

} // namespace opc::ua
