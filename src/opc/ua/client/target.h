// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/ua/security/secret.h"

#include <QString>
#include <memory>
#include <optional>

namespace opc::ua {

// Where to go: "opc.tcp://[user:password@]host[:port][/path]".
struct Target {
    QString host;
    quint16 port = 4840;
    QString url; // without credentials
    QString user;
    // One buffer for every copy of the target: wiped once the session has
    // sent it, so no copy keeps it.
    std::shared_ptr<Secret> password = std::make_shared<Secret>();
};
// Nothing for a text that is not such a URL. The password never passes
// through a QUrl or a QString of ours: it goes from the text straight into
// its secret.
std::optional<Target> parseTarget(const QString &node);
bool isUaNode(const QString &node);

} // namespace opc::ua
