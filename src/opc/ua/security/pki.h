// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <optional>

namespace opc::ua {

// The program's own application instance certificate and the folders of
// its PKI, laid out as OPC 10000-12 Annex F.1 recommends:
//   own/certs/quorivo.der, own/private/quorivo.pem (the user alone reads it),
//   trusted/{certs,crl}, issuer/{certs,crl}, rejected/certs.
// Servers come to trust exactly this certificate, so one that is still
// valid is never replaced.
struct OwnCertificate {
    QByteArray der;           // the certificate
    QByteArray privateKeyPem; // PKCS#8, unencrypted
    QString applicationUri;   // as its subjectAltName says: what the sessions present
};

class Pki {
public:
    explicit Pki(QString root);
    // QUORIVO_PKI, or "pki" in the user's data folder.
    static QString defaultRoot();
    const QString &root() const { return m_root; }

    // The folders, and the certificate made on first need (RSA 2048,
    // SHA-256, self-signed, five years). Nothing, with the reason in
    // `error`, when the folder cannot be written.
    std::optional<OwnCertificate> own(QString *error = nullptr) const;

    QString certificatePath() const;
    QString privateKeyPath() const;

private:
    QString m_root;
};

// "urn:<host>:Quorivo", and the host name itself.
QString ownApplicationUri();
QString hostName();

// A new self-signed application certificate for this URI and these host
// names (addresses go in as IP entries); nothing if OpenSSL fails.
std::optional<OwnCertificate> makeApplicationCertificate(const QString &applicationUri, const QStringList &hosts,
                                                         const QDateTime &notBefore, const QDateTime &notAfter,
                                                         int keyBits = 2048,
                                                         const QString &commonName = QStringLiteral("Quorivo"));

} // namespace opc::ua
