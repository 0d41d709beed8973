#include "opc/ua/crypto.h"

#include <QtEndian>
#include <memory>
#include <openssl/evp.h>
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

} // namespace opc::ua
