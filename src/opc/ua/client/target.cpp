// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/ua/client/target.h"

#include <QUrl>

namespace opc::ua {

bool isUaNode(const QString &node) { return node.trimmed().startsWith(QLatin1String("opc.tcp://"), Qt::CaseInsensitive); }

std::optional<Target> parseTarget(const QString &node)
{
    const QString text = node.trimmed();
    if (!isUaNode(text) || text.size() > 4096)
        return std::nullopt;
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || url.port() == 0)
        return std::nullopt;
    Target t;
    t.host = url.host();
    const int port = url.port(4840);
    if (port <= 0 || port > 65535)
        return std::nullopt;
    t.port = static_cast<quint16>(port);
    t.user = url.userName();
    t.password = url.password();
    QUrl plain = url;
    plain.setUserInfo({});
    t.url = plain.toString();
    return t;
}

} // namespace opc::ua
