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
    QByteArray privateKeyPem; // PKCS#8, unencrypted: wiped when the last copy goes
    QString applicationUri;   // as its subjectAltName says: what the sessions present
    ~OwnCertificate();
};

class Pki {
public:
    explicit Pki(QString root);
    // QUORIVO_PKI (made absolute), or "pki" in the user's data folder.
    static QString defaultRoot();
    const QString &root() const { return m_root; }

    // The folders, and the certificate made on first need (RSA 2048,
    // SHA-256, self-signed, five years). Nothing, with the reason in
    // `error`, when the folder cannot be written.
    std::optional<OwnCertificate> own(QString *error = nullptr) const;

    QString certificatePath() const;
    QString privateKeyPath() const;

    // A folder that decides whom we trust (the PKI itself, own/, trusted/)
    // and that another user can write into, or that is not ours: what is
    // wrong, in a line. Such a PKI is refused, as ssh refuses such a key
    // folder.
    std::optional<QString> unsafeFolder() const;

private:
    QString m_root;
};

// Writes `name` in `folder` whole or not at all, never through a link
// planted there: a new file of our own (O_EXCL | O_NOFOLLOW), then renamed
// over the old one. Private files are readable by the user alone.
bool writeFileSafely(const QString &folder, const QString &name, const QByteArray &data, bool privateFile);

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
