// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/ua/security/crypto.h"

#include "opc/ua/security/secret.h"

#include <QtEndian>
#include <cstring>
#include <memory>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

namespace opc::ua {

// An RSA encryption scheme: the padding, its digest (OAEP), the bytes it
// takes from each block, and its URI on the wire.
struct RsaPadding {
    int padding;
    const EVP_MD *digest;
    int overhead;
    const char *algorithm;
};

namespace {

const RsaPadding OaepSha1{RSA_PKCS1_OAEP_PADDING, EVP_sha1(), 42, "http://www.w3.org/2001/04/xmlenc#rsa-oaep"};
const RsaPadding OaepSha256{RSA_PKCS1_OAEP_PADDING, EVP_sha256(), 66, "http://opcfoundation.org/UA/security/rsa-oaep-sha2-256"};

const RsaPadding &paddingOf(Policy policy) { return traitsOf(policy).rsaEncryptionOverhead == 66 ? OaepSha256 : OaepSha1; }

// A token policy naming a deprecated policy gets nothing: a password is
// not given to PKCS#1 v1.5 or to what Basic256 makes of it.
std::optional<RsaPadding> paddingFor(const QString &policyUri)
{
    if (const auto policy = policyOfUri(policyUri); policy && *policy != Policy::None)
        return paddingOf(*policy);
    return std::nullopt;
}

using CtxPtr = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;

// One context for every block of an encryption or decryption.
CtxPtr cryptContext(EVP_PKEY *key, bool encrypt, const RsaPadding &padding)
{
    CtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr), EVP_PKEY_CTX_free);
    if (!ctx || (encrypt ? EVP_PKEY_encrypt_init(ctx.get()) : EVP_PKEY_decrypt_init(ctx.get())) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), padding.padding) <= 0 ||
        (padding.digest && (EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), padding.digest) <= 0 ||
                            EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), padding.digest) <= 0)))
        return CtxPtr(nullptr, EVP_PKEY_CTX_free);
    return ctx;
}

// Block by block: `inBlock` bytes in, at most `outBlock` out each.
std::optional<QByteArray> crypt(EVP_PKEY *key, bool encrypt, const RsaPadding &padding, const QByteArray &in, int inBlock,
                                int outBlock)
{
    const CtxPtr ctx = cryptContext(key, encrypt, padding);
    if (!ctx || inBlock <= 0)
        return std::nullopt;
    const auto op = encrypt ? EVP_PKEY_encrypt : EVP_PKEY_decrypt;
    QByteArray out;
    for (qsizetype at = 0; at < in.size(); at += inBlock) {
        const qsizetype n = std::min<qsizetype>(inBlock, in.size() - at);
        size_t length = static_cast<size_t>(outBlock);
        QByteArray part(outBlock, Qt::Uninitialized);
        if (op(ctx.get(), reinterpret_cast<unsigned char *>(part.data()), &length,
               reinterpret_cast<const unsigned char *>(in.constData()) + at, static_cast<size_t>(n)) <= 0)
            return std::nullopt;
        part.resize(static_cast<qsizetype>(length));
        out += part;
    }
    return out;
}

} // namespace

std::optional<EncryptedSecret> encryptUserPassword(const QString &policyUri, const QByteArray &serverCertificateDer,
                                                   QByteArrayView password, const QByteArray &serverNonce)
{
    const auto padding = paddingFor(policyUri);
    const auto key = RsaKey::fromCertificate(serverCertificateDer);
    if (!padding || !key)
        return std::nullopt;
    // The length, the password and the nonce, written into one buffer of
    // their own: no temporary keeps a copy of the password.
    const qsizetype secretLength = password.size() + serverNonce.size();
    QByteArray plain(4 + secretLength, Qt::Uninitialized);
    qToLittleEndian(static_cast<uint32_t>(secretLength), plain.data());
    std::memcpy(plain.data() + 4, password.data(), static_cast<size_t>(password.size()));
    std::memcpy(plain.data() + 4 + password.size(), serverNonce.constData(), static_cast<size_t>(serverNonce.size()));
    const auto cipher = key->encryptWith(*padding, plain);
    wipeBytes(plain);
    if (!cipher)
        return std::nullopt;
    return EncryptedSecret{*cipher, QString::fromLatin1(padding->algorithm)};
}

namespace {

bool setSignaturePadding(EVP_PKEY_CTX *ctx, Policy policy)
{
    if (!traitsOf(policy).pssSignature)
        return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) > 0;
    return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PSS_PADDING) > 0 &&
           EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx, RSA_PSS_SALTLEN_DIGEST) > 0 &&
           EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_sha256()) > 0;
}

const unsigned char *data(const QByteArray &a) { return reinterpret_cast<const unsigned char *>(a.constData()); }

} // namespace

std::optional<RsaKey> RsaKey::fromCertificate(const QByteArray &der)
{
    const unsigned char *p = data(der);
    std::unique_ptr<X509, decltype(&X509_free)> cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())), X509_free);
    return adopt(cert ? X509_get_pubkey(cert.get()) : nullptr);
}

std::optional<RsaKey> RsaKey::fromPrivateKeyPem(const QByteArray &pem)
{
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.constData(), static_cast<int>(pem.size())), BIO_free);
    return adopt(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

std::optional<RsaKey> RsaKey::adopt(EVP_PKEY *key)
{
    if (!key)
        return std::nullopt;
    std::shared_ptr<EVP_PKEY> owned(key, EVP_PKEY_free);
    if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA)
        return std::nullopt;
    return RsaKey(std::move(owned));
}

int RsaKey::bytes() const { return EVP_PKEY_get_size(m_key.get()); }

int RsaKey::plainTextBlock(Policy policy) const { return bytes() - paddingOf(policy).overhead; }

std::optional<QByteArray> RsaKey::sign(Policy policy, const QByteArray &message) const
{
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> md(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_PKEY_CTX *ctx = nullptr; // owned by md
    if (!md || EVP_DigestSignInit(md.get(), &ctx, EVP_sha256(), nullptr, m_key.get()) <= 0 || !setSignaturePadding(ctx, policy))
        return std::nullopt;
    size_t length = static_cast<size_t>(bytes());
    QByteArray out(static_cast<qsizetype>(length), Qt::Uninitialized);
    if (EVP_DigestSign(md.get(), reinterpret_cast<unsigned char *>(out.data()), &length, data(message),
                       static_cast<size_t>(message.size())) <= 0)
        return std::nullopt;
    out.resize(static_cast<qsizetype>(length));
    return out;
}

bool RsaKey::verify(Policy policy, const QByteArray &message, const QByteArray &signature) const
{
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> md(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_PKEY_CTX *ctx = nullptr;
    if (!md || EVP_DigestVerifyInit(md.get(), &ctx, EVP_sha256(), nullptr, m_key.get()) <= 0 ||
        !setSignaturePadding(ctx, policy))
        return false;
    return EVP_DigestVerify(md.get(), data(signature), static_cast<size_t>(signature.size()), data(message),
                            static_cast<size_t>(message.size())) == 1;
}

std::optional<QByteArray> RsaKey::encrypt(Policy policy, const QByteArray &plainText) const
{
    return encryptWith(paddingOf(policy), plainText);
}

std::optional<QByteArray> RsaKey::encryptWith(const RsaPadding &padding, const QByteArray &plainText) const
{
    return crypt(m_key.get(), true, padding, plainText, bytes() - padding.overhead, bytes());
}

std::optional<QByteArray> RsaKey::decrypt(Policy policy, const QByteArray &cipherText) const
{
    if (bytes() <= 0 || cipherText.size() % bytes() != 0)
        return std::nullopt;
    return crypt(m_key.get(), false, paddingOf(policy), cipherText, bytes(), bytes());
}

QByteArray secureRandom(int length)
{
    QByteArray out(length, Qt::Uninitialized);
    if (length > 0 && RAND_bytes(reinterpret_cast<unsigned char *>(out.data()), length) != 1)
        return {};
    return out;
}

QByteArray certificateThumbprint(const QByteArray &chain)
{
    const QByteArray leaf = leafCertificate(chain);
    const QByteArray &der = leaf.isEmpty() ? chain : leaf;
    QByteArray out(20, Qt::Uninitialized);
    unsigned int length = 0;
    if (EVP_Digest(der.constData(), static_cast<size_t>(der.size()), reinterpret_cast<unsigned char *>(out.data()), &length,
                   EVP_sha1(), nullptr) <= 0)
        return {};
    return out;
}

} // namespace opc::ua

namespace opc::ua {

QByteArray leafCertificate(const QByteArray &chain)
{
    const auto *start = reinterpret_cast<const unsigned char *>(chain.constData());
    const unsigned char *p = start;
    std::unique_ptr<X509, decltype(&X509_free)> leaf(d2i_X509(nullptr, &p, static_cast<long>(chain.size())), X509_free);
    return leaf ? chain.left(static_cast<qsizetype>(p - start)) : QByteArray();
}

} // namespace opc::ua
