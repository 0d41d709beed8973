// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/ua/security/securitypolicy.h"

#include "opc/ua/security/secret.h"

#include <memory>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

namespace opc::ua {

namespace {

const PolicyTraits Traits[] = {
    {Policy::None, "http://opcfoundation.org/UA/SecurityPolicy#None", 0, 0, 0, 0, 0, false, "", ""},
    {Policy::Basic256Sha256, "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256", 32, 32, 32, 32, 42, false,
     "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256", "http://www.w3.org/2001/04/xmlenc#rsa-oaep"},
    {Policy::Aes128Sha256RsaOaep, "http://opcfoundation.org/UA/SecurityPolicy#Aes128_Sha256_RsaOaep", 32, 16, 32, 32, 42,
     false, "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256", "http://www.w3.org/2001/04/xmlenc#rsa-oaep"},
    {Policy::Aes256Sha256RsaPss, "http://opcfoundation.org/UA/SecurityPolicy#Aes256_Sha256_RsaPss", 32, 32, 32, 32, 66,
     true, "http://opcfoundation.org/UA/security/rsa-pss-sha2-256",
     "http://opcfoundation.org/UA/security/rsa-oaep-sha2-256"},
};

const unsigned char *bytes(const QByteArray &a) { return reinterpret_cast<const unsigned char *>(a.constData()); }

} // namespace

const PolicyTraits &traitsOf(Policy policy)
{
    for (const auto &t : Traits)
        if (t.policy == policy)
            return t;
    return Traits[0];
}

std::optional<Policy> policyOfUri(const QString &uri)
{
    for (const auto &t : Traits)
        if (uri == QLatin1String(t.uri))
            return t.policy;
    return std::nullopt;
}

bool isDeprecatedPolicyUri(const QString &uri)
{
    const QStringView name = QStringView(uri).mid(uri.indexOf(QLatin1Char('#')) + 1);
    return uri.startsWith(QLatin1String("http://opcfoundation.org/UA/SecurityPolicy#")) &&
           (name == QLatin1String("Basic128Rsa15") || name == QLatin1String("Basic256"));
}

QByteArray pSha256(const QByteArray &secret, const QByteArray &seed, int length)
{
    if (length <= 0)
        return {};
    std::unique_ptr<EVP_KDF, decltype(&EVP_KDF_free)> kdf(EVP_KDF_fetch(nullptr, "TLS1-PRF", nullptr), EVP_KDF_free);
    std::unique_ptr<EVP_KDF_CTX, decltype(&EVP_KDF_CTX_free)> ctx(kdf ? EVP_KDF_CTX_new(kdf.get()) : nullptr,
                                                                  EVP_KDF_CTX_free);
    if (!ctx)
        return {};
    char digest[] = "SHA256";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SECRET, const_cast<char *>(secret.constData()),
                                          static_cast<size_t>(secret.size())),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SEED, const_cast<char *>(seed.constData()),
                                          static_cast<size_t>(seed.size())),
        OSSL_PARAM_construct_end(),
    };
    QByteArray out(length, Qt::Uninitialized);
    if (EVP_KDF_derive(ctx.get(), reinterpret_cast<unsigned char *>(out.data()), static_cast<size_t>(length), params) <= 0)
        return {};
    return out;
}

SymmetricKeys::SymmetricKeys(QByteArray signing, QByteArray encrypting, QByteArray initialVector)
    : signingKey(std::move(signing)), encryptingKey(std::move(encrypting)), iv(std::move(initialVector))
{
}

SymmetricKeys &SymmetricKeys::operator=(const SymmetricKeys &other)
{
    if (this != &other) {
        wipe();
        signingKey = other.signingKey;
        encryptingKey = other.encryptingKey;
        iv = other.iv;
    }
    return *this;
}

SymmetricKeys &SymmetricKeys::operator=(SymmetricKeys &&other) noexcept
{
    if (this != &other) {
        wipe();
        signingKey = std::move(other.signingKey);
        encryptingKey = std::move(other.encryptingKey);
        iv = std::move(other.iv);
    }
    return *this;
}

SymmetricKeys::~SymmetricKeys() { wipe(); }

// A copy shares the bytes: the last holder wipes them.
void SymmetricKeys::wipe()
{
    wipeBytes(signingKey);
    wipeBytes(encryptingKey);
    wipeBytes(iv);
}

SymmetricKeys deriveKeys(Policy policy, const QByteArray &secret, const QByteArray &seed)
{
    const PolicyTraits &t = traitsOf(policy);
    if (policy == Policy::None)
        return {};
    QByteArray all = pSha256(secret, seed, t.signingKeyLength + t.encryptingKeyLength + AesBlockLength);
    if (all.isEmpty())
        return {};
    SymmetricKeys keys(all.left(t.signingKeyLength), all.mid(t.signingKeyLength, t.encryptingKeyLength),
                       all.mid(t.signingKeyLength + t.encryptingKeyLength, AesBlockLength));
    wipeBytes(all);
    return keys;
}

int symmetricPaddingCount(int bodyLength, int signatureLength)
{
    const int used = (SequenceHeaderLength + bodyLength + signatureLength + 1) % AesBlockLength;
    return (AesBlockLength - used) % AesBlockLength;
}

int symmetricMaxBody(int chunkSize, int signatureLength, bool encrypted)
{
    const int room = chunkSize - SymmetricHeadersLength;
    if (!encrypted)
        return room - SequenceHeaderLength - signatureLength;
    // Everything after the token id is whole AES blocks, with at least the
    // padding size byte.
    return AesBlockLength * (room / AesBlockLength) - SequenceHeaderLength - signatureLength - 1;
}

int asymmetricPaddingCount(int bodyLength, int signatureLength, int plainTextBlock, bool extraPadding)
{
    if (plainTextBlock <= 0)
        return 0;
    const int used = (SequenceHeaderLength + bodyLength + signatureLength + 1 + (extraPadding ? 1 : 0)) % plainTextBlock;
    return (plainTextBlock - used) % plainTextBlock;
}

int asymmetricMaxBody(int chunkSize, int securityHeaderLength, int signatureLength, int plainTextBlock,
                      int cipherTextBlock, bool extraPadding)
{
    if (plainTextBlock <= 0 || cipherTextBlock <= 0)
        return 0;
    // The signature is encrypted with the rest, so it takes plain text room.
    const int blocks = (chunkSize - 12 - securityHeaderLength) / cipherTextBlock;
    return plainTextBlock * blocks - SequenceHeaderLength - signatureLength - 1 - (extraPadding ? 1 : 0);
}

QByteArray paddingBytes(int count, bool extraPadding)
{
    QByteArray out(count + 1, static_cast<char>(count & 0xFF));
    if (extraPadding)
        out.append(static_cast<char>((count >> 8) & 0xFF));
    return out;
}

std::optional<int> paddingLength(QByteArrayView plainText, bool extraPadding)
{
    const qsizetype n = plainText.size();
    if (n < (extraPadding ? 2 : 1))
        return std::nullopt;
    const auto byteAt = [&plainText](qsizetype i) { return static_cast<uint8_t>(plainText[i]); };
    int count = byteAt(n - 1);
    qsizetype end = n; // the low bytes stand before here
    if (extraPadding) {
        count = (count << 8) | byteAt(n - 2);
        end = n - 1;
    }
    const qsizetype length = count + 1 + (extraPadding ? 1 : 0);
    if (length > n)
        return std::nullopt;
    for (qsizetype i = n - length; i < end; ++i)
        if (byteAt(i) != (count & 0xFF))
            return std::nullopt;
    return static_cast<int>(length);
}

bool hmacSha256Into(QByteArrayView key, QByteArrayView data, unsigned char *out)
{
    // One context per thread, keyed anew for each chunk: the one-shot HMAC
    // would fetch the algorithm and make a context every time.
    struct Mac {
        EVP_MAC *mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
        EVP_MAC_CTX *ctx = mac ? EVP_MAC_CTX_new(mac) : nullptr;
        ~Mac()
        {
            EVP_MAC_CTX_free(ctx);
            EVP_MAC_free(mac);
        }
    };
    thread_local Mac hmac;
    char digest[] = "SHA256";
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0), OSSL_PARAM_construct_end()};
    size_t length = 0;
    return hmac.ctx &&
           EVP_MAC_init(hmac.ctx, reinterpret_cast<const unsigned char *>(key.data()), static_cast<size_t>(key.size()), params) == 1 &&
           EVP_MAC_update(hmac.ctx, reinterpret_cast<const unsigned char *>(data.data()), static_cast<size_t>(data.size())) == 1 &&
           EVP_MAC_final(hmac.ctx, out, &length, 32) == 1 && length == 32;
}

QByteArray hmacSha256(QByteArrayView key, QByteArrayView data)
{
    QByteArray out(32, Qt::Uninitialized);
    if (!hmacSha256Into(key, data, reinterpret_cast<unsigned char *>(out.data())))
        return {};
    return out;
}

namespace {
// AES-CBC without padding of its own from `in` to `out` (which may be the
// same bytes).
bool aesCbcInto(bool encrypt, const QByteArray &key, const QByteArray &iv, const char *in, char *out, qsizetype length)
{
    const EVP_CIPHER *cipher = key.size() == 16 ? EVP_aes_128_cbc() : key.size() == 32 ? EVP_aes_256_cbc() : nullptr;
    if (!cipher || iv.size() != AesBlockLength || length % AesBlockLength != 0)
        return false;
    // One context per thread, set anew for each chunk: no allocation a chunk.
    thread_local std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                                     EVP_CIPHER_CTX_free);
    if (!ctx || EVP_CipherInit_ex(ctx.get(), cipher, nullptr, bytes(key), bytes(iv), encrypt ? 1 : 0) <= 0)
        return false;
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    int written = 0, last = 0;
    auto *o = reinterpret_cast<unsigned char *>(out);
    return EVP_CipherUpdate(ctx.get(), o, &written, reinterpret_cast<const unsigned char *>(in), static_cast<int>(length)) > 0 &&
           EVP_CipherFinal_ex(ctx.get(), o + written, &last) > 0 && written + last == length;
}
} // namespace

std::optional<QByteArray> aesCbc(bool encrypt, const QByteArray &key, const QByteArray &iv, QByteArrayView data)
{
    QByteArray out(data.size(), Qt::Uninitialized);
    if (!aesCbcInto(encrypt, key, iv, data.data(), out.data(), data.size()))
        return std::nullopt;
    return out;
}

bool aesCbcInPlace(bool encrypt, const QByteArray &key, const QByteArray &iv, char *data, qsizetype length)
{
    return aesCbcInto(encrypt, key, iv, data, data, length);
}

} // namespace opc::ua
