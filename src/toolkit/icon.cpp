// SPDX-License-Identifier: GPL-3.0-or-later
#include "toolkit/icon.h"

namespace toolkit {
QIcon programIcon()
{
    QIcon icon;
    icon.addFile(QStringLiteral(":/quorivo-16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/quorivo-32.png"), QSize(32, 32));
    return icon;
}
} // namespace toolkit
