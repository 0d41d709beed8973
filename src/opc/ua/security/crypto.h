// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/ua/security/securitypolicy.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <memory>
#include <optional>

typedef struct evp_pkey_st EVP_PKEY;

namespace opc::ua {
struct RsaPadding;
}

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
                                                   QByteArrayView password, const QByteArray &serverNonce);

// An RSA key of a secured channel: a certificate's public key, or our own
// private key. Each operation uses the algorithm the policy names (OPC
// 10000-7 §6.6): PKCS#1 v1.5 or PSS signatures over SHA-256, OAEP with
// SHA-1 or SHA-256, block by block.
class RsaKey {
public:
    static std::optional<RsaKey> fromCertificate(const QByteArray &der);
    static std::optional<RsaKey> fromPrivateKeyPem(const QByteArray &pem);

    int bytes() const;                         // modulus length: cipher text block, signature length
    int plainTextBlock(Policy policy) const;   // bytes() less the policy's OAEP overhead
    std::optional<QByteArray> sign(Policy policy, const QByteArray &data) const;
    bool verify(Policy policy, const QByteArray &data, const QByteArray &signature) const;
    // Whole blocks: each plain text block becomes one cipher text block.
    std::optional<QByteArray> encrypt(Policy policy, const QByteArray &plainText) const;
    std::optional<QByteArray> decrypt(Policy policy, const QByteArray &cipherText) const;

private:
    friend std::optional<EncryptedSecret> encryptUserPassword(const QString &, const QByteArray &, QByteArrayView,
                                                              const QByteArray &);
    explicit RsaKey(std::shared_ptr<EVP_PKEY> key) : m_key(std::move(key)) {}
    std::optional<QByteArray> encryptWith(const RsaPadding &padding, const QByteArray &plainText) const;
    // Takes ownership; nothing unless it is an RSA key.
    static std::optional<RsaKey> adopt(EVP_PKEY *key);
    std::shared_ptr<EVP_PKEY> m_key;
};

// Bytes from the system's cryptographic generator, for nonces.
QByteArray secureRandom(int length);

// The SHA-1 of a certificate's DER: its thumbprint on the wire. Of a chain,
// the leaf's (OPC 10000-6 §6.7.2.3: the thumbprint covers it alone).
QByteArray certificateThumbprint(const QByteArray &chain);

// The first certificate of a chain (a leaf with its issuers appended), as
// its own DER; empty when the bytes do not start with a certificate.
QByteArray leafCertificate(const QByteArray &chain);

} // namespace opc::ua
