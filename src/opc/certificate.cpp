// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/certificate.h"

#include <QMutex>

namespace opc {

namespace {
QMutex lock;
std::optional<RefusedCertificate> &slot()
{
    static std::optional<RefusedCertificate> refused;
    return refused;
}
} // namespace

QString certificateDateText(const QDateTime &when)
{
    return when.toLocalTime().toString(QStringLiteral("dd/MM/yyyy HH:mm"));
}

void setRefusedCertificate(RefusedCertificate certificate)
{
    QMutexLocker guard(&lock);
    slot() = std::move(certificate);
}

std::optional<RefusedCertificate> takeRefusedCertificate()
{
    QMutexLocker guard(&lock);
    return std::exchange(slot(), std::nullopt);
}

} // namespace opc
