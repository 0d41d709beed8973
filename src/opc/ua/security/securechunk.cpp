// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/ua/security/securechunk.h"

#include <QtEndian>
#include <openssl/crypto.h>

namespace opc::ua {

namespace {

constexpr int MessageHeaderLength = 12;

void writeMessageSize(QByteArray &chunk, qsizetype size)
{
    qToLittleEndian<quint32>(static_cast<quint32>(size), chunk.data() + 4);
}

// Plain text and signature past `from`, the padding checked and taken off.
std::optional<QByteArray> unpad(const QByteArray &plain, qsizetype from, int signatureLength, bool extraPadding)
{
    const qsizetype signedLength = plain.size() - signatureLength;
    if (signedLength < from)
        return std::nullopt;
    const auto padding = paddingLength(QByteArrayView(plain).sliced(from, signedLength - from), extraPadding);
    if (!padding)
        return std::nullopt;
    return plain.left(signedLength - *padding);
}

} // namespace

bool sealSymmetric(Policy policy, SecurityMode mode, const SymmetricKeys &sending, QByteArray &chunk)
{
    if (chunk.size() < SymmetricHeadersLength + SequenceHeaderLength)
        return false;
    if (policy == Policy::None || mode == SecurityMode::None) {
        writeMessageSize(chunk, chunk.size());
        return true;
    }
    const int signatureLength = traitsOf(policy).symmetricSignatureLength;
    const bool encrypt = mode == SecurityMode::SignAndEncrypt;
    if (encrypt) {
        const int body = static_cast<int>(chunk.size()) - SymmetricHeadersLength - SequenceHeaderLength;
        const int count = symmetricPaddingCount(body, signatureLength);
        chunk.append(count + 1, static_cast<char>(count & 0xFF));
    }
    writeMessageSize(chunk, chunk.size() + signatureLength);
    unsigned char signature[32];
    if (signatureLength != 32 || !hmacSha256Into(sending.signingKey, chunk, signature))
        return false;
    chunk.append(reinterpret_cast<const char *>(signature), signatureLength);
    return !encrypt || aesCbcInPlace(true, sending.encryptingKey, sending.iv, chunk.data() + SymmetricHeadersLength,
                                     chunk.size() - SymmetricHeadersLength);
}

std::optional<QByteArray> secureSymmetric(Policy policy, SecurityMode mode, const SymmetricKeys &sending, QByteArray chunk)
{
    if (!sealSymmetric(policy, mode, sending, chunk))
        return std::nullopt;
    return chunk;
}

std::optional<qsizetype> openSymmetricInPlace(Policy policy, SecurityMode mode, const SymmetricKeys &receiving, char *chunk,
                                              qsizetype size)
{
    if (size < SymmetricHeadersLength + SequenceHeaderLength)
        return std::nullopt;
    if (policy == Policy::None || mode == SecurityMode::None)
        return size;
    const int signatureLength = traitsOf(policy).symmetricSignatureLength;
    const bool encrypted = mode == SecurityMode::SignAndEncrypt;
    if (encrypted &&
        !aesCbcInPlace(false, receiving.encryptingKey, receiving.iv, chunk + SymmetricHeadersLength, size - SymmetricHeadersLength))
        return std::nullopt;
    // The signature is checked before anything of the padding is believed,
    // and compared in constant time: how far a forged one matched must not
    // show in how long its refusal takes.
    const qsizetype signedLength = size - signatureLength;
    unsigned char expected[32];
    if (signedLength < SymmetricHeadersLength + SequenceHeaderLength || signatureLength != 32 ||
        !hmacSha256Into(receiving.signingKey, QByteArrayView(chunk, signedLength), expected) ||
        CRYPTO_memcmp(expected, chunk + signedLength, static_cast<size_t>(signatureLength)) != 0)
        return std::nullopt;
    if (!encrypted)
        return signedLength;
    const auto padding = paddingLength(QByteArrayView(chunk + SymmetricHeadersLength + SequenceHeaderLength,
                                                      signedLength - SymmetricHeadersLength - SequenceHeaderLength),
                                       false);
    if (!padding)
        return std::nullopt;
    return signedLength - *padding;
}

std::optional<QByteArray> openSymmetric(Policy policy, SecurityMode mode, const SymmetricKeys &receiving,
                                        const QByteArray &chunk)
{
    QByteArray plain = chunk;
    const auto length = openSymmetricInPlace(policy, mode, receiving, plain.data(), plain.size());
    if (!length)
        return std::nullopt;
    plain.truncate(*length);
    return plain;
}

std::optional<QByteArray> secureAsymmetric(Policy policy, const RsaKey &ours, const RsaKey &theirs, int headerLength,
                                           QByteArray chunk)
{
    const qsizetype encryptedFrom = MessageHeaderLength + headerLength;
    if (policy == Policy::None || chunk.size() < encryptedFrom + SequenceHeaderLength)
        return std::nullopt;
    const int plainBlock = theirs.plainTextBlock(policy), cipherBlock = theirs.bytes(), signatureLength = ours.bytes();
    // The extra padding byte goes with the encrypting key, the receiver's.
    const bool extra = cipherBlock > 256;
    const int body = static_cast<int>(chunk.size() - encryptedFrom) - SequenceHeaderLength;
    chunk += paddingBytes(asymmetricPaddingCount(body, signatureLength, plainBlock, extra), extra);
    const qsizetype plainLength = chunk.size() - encryptedFrom + signatureLength;
    if (plainBlock <= 0 || plainLength % plainBlock != 0)
        return std::nullopt;
    writeMessageSize(chunk, encryptedFrom + plainLength / plainBlock * cipherBlock);
    const auto signature = ours.sign(policy, chunk);
    if (!signature || signature->size() != signatureLength)
        return std::nullopt;
    chunk += *signature;
    const auto cipher = theirs.encrypt(policy, chunk.mid(encryptedFrom));
    if (!cipher)
        return std::nullopt;
    return chunk.left(encryptedFrom) + *cipher;
}

std::optional<QByteArray> openAsymmetric(Policy policy, const RsaKey &ours, const RsaKey &theirs, int headerLength,
                                         const QByteArray &chunk)
{
    const qsizetype encryptedFrom = MessageHeaderLength + headerLength;
    if (policy == Policy::None || chunk.size() <= encryptedFrom)
        return std::nullopt;
    const auto decrypted = ours.decrypt(policy, chunk.mid(encryptedFrom));
    if (!decrypted)
        return std::nullopt;
    const QByteArray plain = chunk.left(encryptedFrom) + *decrypted;
    const int signatureLength = theirs.bytes();
    const qsizetype signedLength = plain.size() - signatureLength;
    if (signedLength < encryptedFrom + SequenceHeaderLength ||
        !theirs.verify(policy, plain.left(signedLength), plain.mid(signedLength)))
        return std::nullopt;
    // Extra padding when our key, which it was encrypted for, passes 2048 bits.
    return unpad(plain, encryptedFrom + SequenceHeaderLength, signatureLength, ours.bytes() > 256);
}

} // namespace opc::ua
