// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/ua/client/target.h"

#include <QUrl>

namespace opc::ua {

namespace {
constexpr qsizetype MaxNodeLength = 4096;
const QLatin1String Scheme("opc.tcp://");

// What RFC 3986 allows in a password: anything printable but the
// delimiters of a URL (percent escapes stand for the rest).
bool passwordCharacter(QChar c)
{
    return c.unicode() > 0x20 && c.unicode() != 0x7F && !QStringView(u"\"<>\\^`{|}#/?@[]").contains(c);
}
} // namespace

bool isUaNode(const QString &node) { return node.trimmed().startsWith(Scheme, Qt::CaseInsensitive); }

std::optional<Target> parseTarget(const QString &node)
{
    const QString text = node.trimmed();
    if (!isUaNode(text) || text.size() > MaxNodeLength)
        return std::nullopt;
    // The authority ends at the path, the query or the fragment; the user
    // information before its last '@'.
    const qsizetype from = Scheme.size();
    qsizetype end = from;
    while (end < text.size() && text[end] != QLatin1Char('/') && text[end] != QLatin1Char('?') && text[end] != QLatin1Char('#'))
        ++end;
    const qsizetype at = QStringView(text).sliced(from, end - from).lastIndexOf(QLatin1Char('@'));
    QString withoutPassword = text;
    Target t;
    if (at >= 0) {
        const QStringView userInfo = QStringView(text).sliced(from, at);
        const qsizetype colon = userInfo.indexOf(QLatin1Char(':'));
        if (colon >= 0) {
            const QStringView password = userInfo.sliced(colon + 1);
            if (!std::all_of(password.begin(), password.end(), passwordCharacter))
                return std::nullopt;
            bool ok = false;
            t.password = std::make_shared<Secret>(Secret::fromPercentEncoded(password, &ok));
            if (!ok)
                return std::nullopt;
            withoutPassword.remove(from + colon, at - colon); // ":password", the '@' stays
        }
    }
    const QUrl url(withoutPassword, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || url.port() == 0)
        return std::nullopt;
    t.host = url.host();
    const int port = url.port(4840);
    if (port <= 0 || port > 65535)
        return std::nullopt;
    t.port = static_cast<quint16>(port);
    t.user = url.userName();
    QUrl plain = url;
    plain.setUserInfo({});
    t.url = plain.toString();
    return t;
}

} // namespace opc::ua
