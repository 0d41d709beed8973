// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/certificate.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

// Whether a server's certificate is to be believed (OPC 10000-4 §6.1.3):
// its chain up to a certificate in the PKI's trusted folder, its dates, its
// signature, and the names it gives for the application and its host.
namespace opc::ua {

using opc::CertificateFacts;

// Nothing for bytes that are not a DER certificate.
std::optional<CertificateFacts> describeCertificate(const QByteArray &der);

enum class CertificateProblem { Unreadable, Untrusted, BadSignature, Revoked, Expired, NotYetValid, UriMismatch, HostMismatch };

struct TrustVerdict {
    int32_t error = 0; // 0: trusted
    std::vector<CertificateProblem> problems;
};

class TrustList {
public:
    explicit TrustList(QString pkiRoot);

    // The server's certificate for a connect to `host` of the server
    // `applicationUri`. Certificates the operator accepted in this run pass.
    TrustVerdict check(const QByteArray &der, const QString &applicationUri, const QString &host) const;

    // Kept in rejected/certs for the operator to look at or move.
    bool reject(const QByteArray &der) const;
    // Copied to trusted/certs (and out of rejected/certs).
    bool trust(const QByteArray &der) const;
    // Believed until the program ends.
    static void acceptForThisRun(const QByteArray &der);

    // "<common name> [<thumbprint>].der", as the PKI folders name them.
    static QString fileName(const QByteArray &der);

    // What the operator is shown, with the decision recorded here.
    RefusedCertificate refusal(const QByteArray &der, const TrustVerdict &verdict, const QString &applicationUri,
                               const QString &host) const;

private:
    bool store(const QString &folder, const QByteArray &der) const;
    QString m_root;
};

} // namespace opc::ua
