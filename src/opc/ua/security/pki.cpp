// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/ua/security/pki.h"

#include "opc/ua/security/secret.h"
#include "opc/ua/security/trust.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QHostInfo>
#include <QScopeGuard>
#include <QStandardPaths>
#include <fcntl.h>
#include <memory>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

namespace opc::ua {

namespace {

using X509Ptr = std::unique_ptr<X509, decltype(&X509_free)>;
using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using BioPtr = std::unique_ptr<BIO, decltype(&BIO_free)>;

constexpr int ValidYears = 5;

// The extensions servers look for on a client certificate (OPC 10000-6
// §6.2.2); keyCertSign because it signs itself.
bool addExtension(X509 *cert, int nid, const QString &value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    const QByteArray text = value.toUtf8();
    std::unique_ptr<X509_EXTENSION, decltype(&X509_EXTENSION_free)> ext(
        X509V3_EXT_conf_nid(nullptr, &ctx, nid, text.constData()), X509_EXTENSION_free);
    return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

bool setTime(ASN1_TIME *field, const QDateTime &when)
{
    return ASN1_TIME_set(field, static_cast<time_t>(when.toSecsSinceEpoch())) != nullptr;
}

// Still usable: it parses, and today lies within its validity.
X509Ptr validCertificate(const QByteArray &der)
{
    const auto *p = reinterpret_cast<const unsigned char *>(der.constData());
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())), X509_free);
    if (!cert || X509_cmp_current_time(X509_get0_notBefore(cert.get())) >= 0 ||
        X509_cmp_current_time(X509_get0_notAfter(cert.get())) <= 0)
        return X509Ptr(nullptr, X509_free);
    return cert;
}

QString altNames(const QString &applicationUri, const QStringList &hosts)
{
    QString out = QStringLiteral("URI:") + applicationUri;
    for (const QString &host : hosts)
        out += (QHostAddress(host).isNull() ? QStringLiteral(",DNS:") : QStringLiteral(",IP:")) + host;
    return out;
}

bool keyMatches(X509 *cert, const QByteArray &pem)
{
    BioPtr bio(BIO_new_mem_buf(pem.constData(), static_cast<int>(pem.size())), BIO_free);
    KeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr, EVP_PKEY_free);
    return key && X509_check_private_key(cert, key.get()) == 1;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A private key's text, read straight into one buffer of its size: no
// buffer on the way keeps a copy.
QByteArray readSecretFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Unbuffered) || f.size() <= 0 || f.size() > (1 << 20))
        return {};
    QByteArray out(f.size(), Qt::Uninitialized);
    if (f.read(out.data(), out.size()) != out.size()) {
        wipeBytes(out);
        return {};
    }
    return out;
}

} // namespace

bool writeFileSafely(const QString &folder, const QString &name, const QByteArray &data, bool privateFile)
{
    const QByteArray final = QFile::encodeName(folder + QLatin1Char('/') + name);
    const QByteArray temporary =
        QFile::encodeName(folder + QStringLiteral("/.") + name + QStringLiteral(".%1.tmp").arg(QCoreApplication::applicationPid()));
    ::unlink(temporary.constData()); // ours from a run that died, or a link: never followed
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          privateFile ? 0600 : 0644);
    if (fd < 0)
        return false;
    qsizetype written = 0;
    while (written < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + written, static_cast<size_t>(data.size() - written));
        if (n <= 0)
            break;
        written += n;
    }
    const bool whole = written == data.size() && ::fsync(fd) == 0;
    ::close(fd);
    if (!whole || ::rename(temporary.constData(), final.constData()) != 0) {
        ::unlink(temporary.constData());
        return false;
    }
    return true;
}

QString hostName()
{
    const QString host = QHostInfo::localHostName();
    return host.isEmpty() ? QStringLiteral("localhost") : host;
}

QString ownApplicationUri() { return QStringLiteral("urn:%1:Quorivo").arg(hostName()); }

std::optional<OwnCertificate> makeApplicationCertificate(const QString &applicationUri, const QStringList &hosts,
                                                         const QDateTime &notBefore, const QDateTime &notAfter,
                                                         int keyBits, const QString &commonName)
{
    if (hosts.isEmpty())
        return std::nullopt;
    KeyPtr key(EVP_RSA_gen(static_cast<unsigned>(keyBits)), EVP_PKEY_free);
    X509Ptr cert(X509_new(), X509_free);
    if (!key || !cert || X509_set_version(cert.get(), 2) != 1)
        return std::nullopt;
    // A random positive serial of 16 bytes.
    unsigned char serial[16];
    if (RAND_bytes(serial, sizeof serial) != 1)
        return std::nullopt;
    serial[0] &= 0x7F;
    std::unique_ptr<BIGNUM, decltype(&BN_free)> bn(BN_bin2bn(serial, sizeof serial, nullptr), BN_free);
    if (!bn || !BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert.get())))
        return std::nullopt;
    if (!setTime(X509_getm_notBefore(cert.get()), notBefore) || !setTime(X509_getm_notAfter(cert.get()), notAfter))
        return std::nullopt;
    X509_NAME *name = X509_get_subject_name(cert.get());
    const QByteArray hostUtf8 = hosts.first().toUtf8();
    const auto entry = [name](const char *field, const QByteArray &value) {
        return X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8, reinterpret_cast<const unsigned char *>(value.constData()),
                                          -1, -1, 0) == 1;
    };
    if (!entry("CN", commonName.toUtf8()) || !entry("O", "Drovane") || !entry("DC", hostUtf8) ||
        X509_set_issuer_name(cert.get(), name) != 1 || X509_set_pubkey(cert.get(), key.get()) != 1)
        return std::nullopt;
    const bool extended =
        addExtension(cert.get(), NID_basic_constraints, QStringLiteral("critical,CA:FALSE")) &&
        addExtension(cert.get(), NID_key_usage,
                     QStringLiteral("critical,digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment,keyCertSign")) &&
        addExtension(cert.get(), NID_ext_key_usage, QStringLiteral("critical,clientAuth,serverAuth")) &&
        addExtension(cert.get(), NID_subject_key_identifier, QStringLiteral("hash")) &&
        addExtension(cert.get(), NID_authority_key_identifier, QStringLiteral("keyid:always")) &&
        addExtension(cert.get(), NID_subject_alt_name, altNames(applicationUri, hosts));
    if (!extended || X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0)
        return std::nullopt;

    OwnCertificate out;
    unsigned char *der = nullptr;
    const int derLength = i2d_X509(cert.get(), &der);
    if (derLength <= 0)
        return std::nullopt;
    out.der = QByteArray(reinterpret_cast<const char *>(der), derLength);
    OPENSSL_free(der);
    BioPtr bio(BIO_new(BIO_s_mem()), BIO_free);
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return std::nullopt;
    char *pem = nullptr;
    const long pemLength = BIO_get_mem_data(bio.get(), &pem);
    out.privateKeyPem = QByteArray(pem, static_cast<qsizetype>(pemLength));
    out.applicationUri = applicationUri;
    return out;
}

OwnCertificate::~OwnCertificate() { wipeBytes(privateKeyPem); }

Pki::Pki(QString root) : m_root(std::move(root)) {}

QString Pki::defaultRoot()
{
    // Absolute, so that the folder does not move with the working directory.
    const QString overridden = qEnvironmentVariable("QUORIVO_PKI");
    if (!overridden.isEmpty())
        return QFileInfo(overridden).absoluteFilePath();
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/pki");
}

std::optional<QString> Pki::unsafeFolder() const
{
    for (const char *sub : {"", "/own", "/own/private", "/trusted", "/trusted/certs", "/trusted/crl"}) {
        const QString path = m_root + QLatin1String(sub);
        struct stat st {};
        if (::stat(QFile::encodeName(path).constData(), &st) != 0)
            continue; // not made yet: made by us, for us
        if (st.st_uid != ::geteuid())
            return QStringLiteral("%1 belongs to another user: the PKI is not used").arg(path);
        if (st.st_mode & (S_IWGRP | S_IWOTH))
            return QStringLiteral("%1 can be written by other users (mode %2): the PKI is not used")
                .arg(path)
                .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
    }
    return std::nullopt;
}

QString Pki::certificatePath() const { return m_root + QStringLiteral("/own/certs/quorivo.der"); }
QString Pki::privateKeyPath() const { return m_root + QStringLiteral("/own/private/quorivo.pem"); }

std::optional<OwnCertificate> Pki::own(QString *error) const
{
    const auto fail = [error](const QString &why) -> std::optional<OwnCertificate> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    QDir dir;
    for (const char *sub : {"own/certs", "own/private", "trusted/certs", "trusted/crl", "issuer/certs", "issuer/crl",
                            "rejected/certs"})
        if (!dir.mkpath(m_root + QLatin1Char('/') + QLatin1String(sub)))
            return fail(QStringLiteral("cannot make ") + m_root + QLatin1Char('/') + QLatin1String(sub));
    QFile::setPermissions(m_root + QStringLiteral("/own/private"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    // A certificate still valid, with its key, stays: servers trust it.
    const QByteArray der = readAll(certificatePath());
    QByteArray pem = readSecretFile(privateKeyPath());
    const auto forget = qScopeGuard([&pem] { wipeBytes(pem); });
    if (X509Ptr cert = validCertificate(der); cert && keyMatches(cert.get(), pem))
        return OwnCertificate{der, pem, describeCertificate(der)->applicationUri};

    const QDateTime now = QDateTime::currentDateTimeUtc();
    const auto made = makeApplicationCertificate(ownApplicationUri(), QStringList{hostName()}, now.addSecs(-60), now.addYears(ValidYears));
    if (!made)
        return fail(QStringLiteral("OpenSSL could not make the certificate"));
    if (!writeFileSafely(m_root + QStringLiteral("/own/private"), QStringLiteral("quorivo.pem"), made->privateKeyPem, true) ||
        !writeFileSafely(m_root + QStringLiteral("/own/certs"), QStringLiteral("quorivo.der"), made->der, false))
        return fail(QStringLiteral("cannot write ") + m_root + QStringLiteral("/own"));
    return made;
}

} // namespace opc::ua
