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
// its chain up to a certificate in the PKI's trusted folder, the dates,
// signatures, revocation and uses of each certificate of it, the policy's
// key and signature strength, and the names it gives for the application
// and its host.
namespace opc::ua {

using opc::CertificateFacts;

// Nothing for bytes that are not a DER certificate. A chain (the leaf with
// its issuers appended, OPC 10000-6 §6.7.2.3) is described by its leaf.
std::optional<CertificateFacts> describeCertificate(const QByteArray &der);

enum class CertificateProblem {
    Unreadable,
    Untrusted,
    BadSignature,
    Revoked,
    IssuerTimeInvalid,       // a certificate of the chain above it is out of its dates
    RevocationUnknown,       // its issuer's revocation list is missing or stale
    IssuerRevocationUnknown, // the same for a certificate above it
    IssuerUseNotAllowed,     // a certificate above it may not issue certificates
    UseNotAllowed,           // its own uses do not include a server's
    PolicyCheckFailed,       // its key or signature is weaker than the policies allow
    Expired,
    NotYetValid,
    UriMismatch,
    HostMismatch,
};

struct TrustVerdict {
    int32_t error = 0; // 0: trusted
    std::vector<CertificateProblem> problems;
};

class TrustList {
public:
    explicit TrustList(QString pkiRoot);

    // The server's certificate (alone or with its chain appended) for a
    // connect to `host` of the server `applicationUri`. Certificates the
    // operator accepted in this run pass, unless they are too weak for the
    // policies.
    TrustVerdict check(const QByteArray &der, const QString &applicationUri, const QString &host) const;

    // Whether trusted/certs holds a certificate of this application, or the
    // operator accepted one for this run.
    bool knowsApplication(const QString &applicationUri) const;

    // The leaf kept in rejected/certs for the operator to look at or move;
    // nothing that does not parse or passes 64 KiB.
    bool reject(const QByteArray &der) const;
    // The leaf copied to trusted/certs (and out of rejected/certs).
    bool trust(const QByteArray &der) const;
    // Believed until the program ends.
    static void acceptForThisRun(const QByteArray &der);

    // "<common name> [<thumbprint>].der", as the PKI folders name them.
    static QString fileName(const QByteArray &der);

    // What the operator is shown, with the decision recorded here. A
    // certificate too weak for the policies, like one that cannot be read,
    // offers nothing to decide.
    RefusedCertificate refusal(const QByteArray &der, const TrustVerdict &verdict, const QString &applicationUri,
                               const QString &host) const;

private:
    bool store(const QString &folder, const QByteArray &der) const;
    QString m_root;
};

} // namespace opc::ua
