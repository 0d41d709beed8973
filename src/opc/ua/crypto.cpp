#include "opc/ua/crypto.h"

#include <QtEndian>
#include <memory>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

namespace opc::ua {

namespace {
struct Padding {
    int padding;
    const EVP_MD *digest; // OAEP only
    int overhead;
    const char *algorithm;
};

std::optional<Padding> paddingFor(const QString &policyUri)
{
    const QString policy = policyUri.section(QLatin1Char('#'), 1);
    if (policy == QLatin1String("Basic128Rsa15"))
        return Padding{RSA_PKCS1_PADDING, nullptr, 11, "http://www.w3.org/2001/04/xmlenc#rsa-1_5"};
    if (policy == QLatin1String("Basic256") || policy == QLatin1String("Basic256Sha256") ||
        policy == QLatin1String("Aes128_Sha256_RsaOaep"))
        return Padding{RSA_PKCS1_OAEP_PADDING, EVP_sha1(), 42, "http://www.w3.org/2001/04/xmlenc#rsa-oaep"};
    if (policy == QLatin1String("Aes256_Sha256_RsaPss"))
        return Padding{RSA_PKCS1_OAEP_PADDING, EVP_sha256(), 66, "http://opcfoundation.org/UA/security/rsa-oaep-sha2-256"};
    return std::nullopt;
}
} // namespace

std::optional<EncryptedSecret> encryptUserPassword(const QString &policyUri, const QByteArray &serverCertificateDer,
                                                   const QByteArray &password, const QByteArray &serverNonce)
{
    const auto padding = paddingFor(policyUri);
    if (!padding || serverCertificateDer.isEmpty())
        return std::nullopt;
    const auto *der = reinterpret_cast<const unsigned char *>(serverCertificateDer.constData());
    std::unique_ptr<X509, decltype(&X509_free)> cert(d2i_X509(nullptr, &der, serverCertificateDer.size()), X509_free);
    if (!cert)
        return std::nullopt;
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(X509_get_pubkey(cert.get()), EVP_PKEY_free);
    if (!key || EVP_PKEY_base_id(key.get()) != EVP_PKEY_RSA)
        return std::nullopt;

    QByteArray plain(4, '\0');
    qToLittleEndian(static_cast<uint32_t>(password.size() + serverNonce.size()), plain.data());
    plain += password + serverNonce;

    const int keyBytes = EVP_PKEY_get_size(key.get());
    const int block = keyBytes - padding->overhead;
    if (block <= 0)
        return std::nullopt;
    QByteArray out;
    for (qsizetype offset = 0; offset < plain.size(); offset += block) {
        std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(key.get(), nullptr),
                                                                        EVP_PKEY_CTX_free);
        if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) <= 0 ||
            EVP_PKEY_CTX_set_rsa_padding(ctx.get(), padding->padding) <= 0)
            return std::nullopt;
        if (padding->digest && (EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), padding->digest) <= 0 ||
                                EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), padding->digest) <= 0))
            return std::nullopt;
        const QByteArray chunk = plain.mid(offset, block);
        size_t outLen = static_cast<size_t>(keyBytes);
        QByteArray cipher(keyBytes, '\0');
        if (EVP_PKEY_encrypt(ctx.get(), reinterpret_cast<unsigned char *>(cipher.data()), &outLen,
                             reinterpret_cast<const unsigned char *>(chunk.constData()),
                             static_cast<size_t>(chunk.size())) <= 0)
            return std::nullopt;
        cipher.resize(static_cast<qsizetype>(outLen));
        out += cipher;
    }
    // The clear text held the password: wipe it.
    plain.fill('\0');
    return EncryptedSecret{out, QString::fromLatin1(padding->algorithm)};
}

namespace {

// The context of one operation with the policy's padding and digests set.
using CtxPtr = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;

bool setEncryptionPadding(EVP_PKEY_CTX *ctx, Policy policy)
{
    const EVP_MD *md = traitsOf(policy).rsaEncryptionOverhead == 66 ? EVP_sha256() : EVP_sha1();
    return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) > 0 && EVP_PKEY_CTX_set_rsa_oaep_md(ctx, md) > 0 &&
           EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, md) > 0;
}

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

int RsaKey::plainTextBlock(Policy policy) const { return bytes() - traitsOf(policy).rsaEncryptionOverhead; }

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
    const int block = plainTextBlock(policy);
    if (block <= 0)
        return std::nullopt;
    QByteArray out;
    for (qsizetype at = 0; at < plainText.size(); at += block) {
        CtxPtr ctx(EVP_PKEY_CTX_new(m_key.get(), nullptr), EVP_PKEY_CTX_free);
        if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) <= 0 || !setEncryptionPadding(ctx.get(), policy))
            return std::nullopt;
        const QByteArray part = plainText.mid(at, block);
        size_t length = static_cast<size_t>(bytes());
        QByteArray cipher(static_cast<qsizetype>(length), Qt::Uninitialized);
        if (EVP_PKEY_encrypt(ctx.get(), reinterpret_cast<unsigned char *>(cipher.data()), &length, data(part),
                             static_cast<size_t>(part.size())) <= 0 ||
            length != static_cast<size_t>(bytes()))
            return std::nullopt;
        out += cipher;
    }
    return out;
}

std::optional<QByteArray> RsaKey::decrypt(Policy policy, const QByteArray &cipherText) const
{
    const int block = bytes();
    if (block <= 0 || cipherText.size() % block != 0)
        return std::nullopt;
    QByteArray out;
    for (qsizetype at = 0; at < cipherText.size(); at += block) {
        CtxPtr ctx(EVP_PKEY_CTX_new(m_key.get(), nullptr), EVP_PKEY_CTX_free);
        if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0 || !setEncryptionPadding(ctx.get(), policy))
            return std::nullopt;
        size_t length = static_cast<size_t>(block);
        QByteArray plain(block, Qt::Uninitialized);
        if (EVP_PKEY_decrypt(ctx.get(), reinterpret_cast<unsigned char *>(plain.data()), &length,
                             data(cipherText) + at, static_cast<size_t>(block)) <= 0)
            return std::nullopt;
        plain.resize(static_cast<qsizetype>(length));
        out += plain;
    }
    return out;
}

QByteArray secureRandom(int length)
{
    QByteArray out(length, Qt::Uninitialized);
    if (length > 0 && RAND_bytes(reinterpret_cast<unsigned char *>(out.data()), length) != 1)
        return {};
    return out;
}

QByteArray certificateThumbprint(const QByteArray &der)
{
    QByteArray out(20, Qt::Uninitialized);
    unsigned int length = 0;
    if (EVP_Digest(der.constData(), static_cast<size_t>(der.size()), reinterpret_cast<unsigned char *>(out.data()), &length,
                   EVP_sha1(), nullptr) <= 0)
        return {};
    return out;
}

} // namespace opc::ua
