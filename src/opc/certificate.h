#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

namespace opc {

// What the operator decides about a server certificate a connect refused.
enum class CertificateDecision { TrustAlways, AcceptForThisRun, Reject };

// A server certificate a connect refused, as the operator is shown it, and
// the way to record the operator's decision.
struct RefusedCertificate {
    QString subject;
    QString issuer;
    QDateTime notBefore;
    QDateTime notAfter;
    QString thumbprint; // SHA-1, upper-case hex
    QString applicationUri;
    QStringList hostNames;
    int keyBits = 0;
    QStringList problems; // in words, one each
    std::function<void(CertificateDecision)> decide;
};

// The component leaves the certificate a connect stopped at here; the
// connect handler takes it once, after the error report.
void setRefusedCertificate(RefusedCertificate certificate);
std::optional<RefusedCertificate> takeRefusedCertificate();

} // namespace opc
