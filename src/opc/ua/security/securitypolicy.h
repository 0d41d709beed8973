// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <optional>

// The RSA security policies of OPC UA Binary and the arithmetic of their
// secured chunks: key derivation, padding, the largest body a chunk holds,
// and the symmetric algorithms. Lengths are in bytes.
namespace opc::ua {

enum class Policy { None, Basic256Sha256, Aes128Sha256RsaOaep, Aes256Sha256RsaPss };

// What a policy fixes, OPC 10000-7 §6.6.
struct PolicyTraits {
    Policy policy;
    const char *uri;
    int signingKeyLength;         // derived HMAC key
    int encryptingKeyLength;      // AES key
    int nonceLength;              // SecureChannelNonceLength: sent and accepted exactly
    int symmetricSignatureLength; // HMAC-SHA256
    int rsaEncryptionOverhead;    // per RSA block: OAEP-SHA1 42, OAEP-SHA256 66
    bool pssSignature;            // RSA-PSS-SHA256 instead of PKCS#1 v1.5 SHA-256
    const char *asymmetricSignatureUri;
    const char *asymmetricEncryptionUri;
};
const PolicyTraits &traitsOf(Policy policy);
std::optional<Policy> policyOfUri(const QString &uri);
// Basic128Rsa15 and Basic256: deprecated (SHA-1, PKCS#1 v1.5), spoken by
// no channel of ours and trusted with no password.
bool isDeprecatedPolicyUri(const QString &uri);

constexpr int AesBlockLength = 16;
constexpr int SequenceHeaderLength = 8;
constexpr int SymmetricHeadersLength = 12 + 4; // message header, token id

// P_SHA256 (OPC 10000-6 §6.7.5): HMAC-SHA256 expansion of the seed under
// the secret, as TLS 1.2's PRF.
QByteArray pSha256(const QByteArray &secret, const QByteArray &seed, int length);

// The keys one side sends with (OPC 10000-6 §6.7.5): the client's come from
// the server's nonce as secret and its own as seed, the server's the other
// way round.
// The keys of one direction of a channel token. They are wiped when they
// go, and when others replace them.
struct SymmetricKeys {
    SymmetricKeys() = default;
    SymmetricKeys(QByteArray signing, QByteArray encrypting, QByteArray initialVector);
    SymmetricKeys(const SymmetricKeys &other) = default;
    SymmetricKeys(SymmetricKeys &&other) noexcept = default;
    SymmetricKeys &operator=(const SymmetricKeys &other);
    SymmetricKeys &operator=(SymmetricKeys &&other) noexcept;
    ~SymmetricKeys();
    void wipe();

    QByteArray signingKey;
    QByteArray encryptingKey;
    QByteArray iv;
};
SymmetricKeys deriveKeys(Policy policy, const QByteArray &secret, const QByteArray &seed);

// Symmetric chunks (OPC 10000-6 §6.7.2.5): the padding count of a
// SignAndEncrypt chunk, and the largest body a chunk of this size holds.
int symmetricPaddingCount(int bodyLength, int signatureLength);
int symmetricMaxBody(int chunkSize, int signatureLength, bool encrypted);

// Asymmetric chunks: blocks are those of the receiver's RSA key, the
// signature that of the sender's; the extra padding byte is there when the
// receiver's key is longer than 2048 bits.
int asymmetricPaddingCount(int bodyLength, int signatureLength, int plainTextBlock, bool extraPadding);
int asymmetricMaxBody(int chunkSize, int securityHeaderLength, int signatureLength, int plainTextBlock,
                      int cipherTextBlock, bool extraPadding);

// PaddingSize bytes as written: count + 1 bytes of the count's low byte,
// then its high byte when the extra padding byte is used.
QByteArray paddingBytes(int count, bool extraPadding);
// How many bytes of padding end this decrypted text (signature removed);
// nothing when they do not all agree, which closes the channel.
std::optional<int> paddingLength(QByteArrayView plainText, bool extraPadding);

QByteArray hmacSha256(QByteArrayView key, QByteArrayView data);
// The same into the caller's 32 bytes; false when OpenSSL fails.
bool hmacSha256Into(QByteArrayView key, QByteArrayView data, unsigned char *out);
// AES-CBC over whole blocks, no padding of its own; nothing for a key, IV or
// length it cannot take.
std::optional<QByteArray> aesCbc(bool encrypt, const QByteArray &key, const QByteArray &iv, QByteArrayView data);
// The same in place, over `length` bytes at `data`.
bool aesCbcInPlace(bool encrypt, const QByteArray &key, const QByteArray &iv, char *data, qsizetype length);

} // namespace opc::ua
