#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace opc::ua {

struct EncryptedSecret {
    QByteArray cipherText;
    QString algorithm;
};

// Encrypts a user password for a user-name token with the server's public
// key, as the token's security policy asks: the length, the password and
// the server nonce, in RSA blocks. Nothing for an unknown policy or a
// certificate that cannot be read.
std::optional<EncryptedSecret> encryptUserPassword(const QString &policyUri, const QByteArray &serverCertificateDer,
                                                   const QByteArray &password, const QByteArray &serverNonce);

} // namespace opc::ua
