// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

namespace opc {

// What the operator decides about a server certificate a connect refused.
enum class CertificateDecision { TrustAlways, AcceptForThisRun, Reject };

// What a certificate says of itself, as the operator is shown it.
struct CertificateFacts {
    QString subject;
    QString issuer;
    QDateTime notBefore;
    QDateTime notAfter;
    QString thumbprint; // SHA-1, upper-case hex
    QString applicationUri;
    QStringList hostNames; // DNS names and addresses of the subjectAltName
    int keyBits = 0;
    QString signatureDigest; // "SHA256", "SHA1"...: what the issuer signed it with
};

// A server certificate a connect refused: its facts, what is wrong with it,
// and the way to record the operator's decision.
struct RefusedCertificate : CertificateFacts {
    QStringList problems; // in words, one each
    std::function<void(CertificateDecision)> decide;
};

// A certificate's date as the operator reads it: local time, "dd/MM/yyyy HH:mm".
QString certificateDateText(const QDateTime &when);

// The component leaves the certificate a connect stopped at here; the
// connect handler takes it once, after the error report.
void setRefusedCertificate(RefusedCertificate certificate);
std::optional<RefusedCertificate> takeRefusedCertificate();

} // namespace opc
