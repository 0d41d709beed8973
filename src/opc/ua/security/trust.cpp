// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/ua/security/trust.h"

#include "opc/errors.h"
#include "opc/ua/security/crypto.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QMutex>
#include <QRegularExpression>
#include <QSet>
#include <QtEndian>
#include <memory>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace opc::ua {

namespace S = opc::Status;

namespace {

using X509Ptr = std::unique_ptr<X509, decltype(&X509_free)>;
using StorePtr = std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)>;
using ContextPtr = std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)>;
using StackPtr = std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509) *)>;

X509Ptr parse(const QByteArray &der)
{
    const auto *p = reinterpret_cast<const unsigned char *>(der.constData());
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())), X509_free);
    // Trailing bytes would be a chain: only its first certificate counts.
    return cert;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.read(1 << 20) : QByteArray();
}

// Every certificate in a folder, DER or PEM.
std::vector<X509Ptr> certificatesIn(const QString &folder)
{
    std::vector<X509Ptr> out;
    for (const QString &name : QDir(folder).entryList(QDir::Files)) {
        const QByteArray data = readAll(folder + QLatin1Char('/') + name);
        X509Ptr cert = parse(data);
        if (!cert) {
            std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(data.constData(), static_cast<int>(data.size())),
                                                          BIO_free);
            cert = X509Ptr(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr, X509_free);
        }
        if (cert)
            out.push_back(std::move(cert));
    }
    return out;
}

// Revocation lists in a folder, DER or PEM.
std::vector<X509_CRL *> revocationListsIn(const QString &folder)
{
    std::vector<X509_CRL *> out;
    for (const QString &name : QDir(folder).entryList(QDir::Files)) {
        const QByteArray data = readAll(folder + QLatin1Char('/') + name);
        const auto *p = reinterpret_cast<const unsigned char *>(data.constData());
        X509_CRL *crl = d2i_X509_CRL(nullptr, &p, static_cast<long>(data.size()));
        if (!crl) {
            std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(data.constData(), static_cast<int>(data.size())),
                                                          BIO_free);
            crl = bio ? PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr) : nullptr;
        }
        if (crl)
            out.push_back(crl);
    }
    return out;
}

QDateTime dateOf(const ASN1_TIME *time)
{
    struct tm t {};
    if (!time || ASN1_TIME_to_tm(time, &t) != 1)
        return {};
    return QDateTime(QDate(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday), QTime(t.tm_hour, t.tm_min, t.tm_sec), Qt::UTC);
}

QString nameOf(const X509_NAME *name)
{
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    if (!bio || X509_NAME_print_ex(bio.get(), name, 0, (XN_FLAG_ONELINE & ~XN_FLAG_SPC_EQ & ~ASN1_STRFLGS_ESC_MSB) | ASN1_STRFLGS_UTF8_CONVERT) < 0)
        return {};
    char *text = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &text);
    return QString::fromUtf8(text, static_cast<qsizetype>(length));
}

QString text(const ASN1_STRING *s)
{
    return QString::fromUtf8(reinterpret_cast<const char *>(ASN1_STRING_get0_data(s)), ASN1_STRING_length(s));
}

// The first URI and every DNS name and address of the subjectAltName.
void altNames(X509 *cert, CertificateFacts &facts)
{
    auto *names = static_cast<GENERAL_NAMES *>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names); ++i) {
        const GENERAL_NAME *name = sk_GENERAL_NAME_value(names, i);
        if (name->type == GEN_URI && facts.applicationUri.isEmpty())
            facts.applicationUri = text(name->d.uniformResourceIdentifier);
        else if (name->type == GEN_DNS)
            facts.hostNames << text(name->d.dNSName);
        else if (name->type == GEN_IPADD) {
            const ASN1_OCTET_STRING *ip = name->d.iPAddress;
            const auto *bytes = ASN1_STRING_get0_data(ip);
            QHostAddress address;
            if (ASN1_STRING_length(ip) == 4)
                address.setAddress(qFromBigEndian<quint32>(bytes));
            else if (ASN1_STRING_length(ip) == 16)
                address.setAddress(bytes);
            if (!address.isNull())
                facts.hostNames << address.toString();
        }
    }
    GENERAL_NAMES_free(names);
}

bool hostMatches(const QString &host, const QStringList &names)
{
    const QHostAddress typed(host);
    for (const QString &name : names) {
        if (!typed.isNull()) {
            if (typed.isEqual(QHostAddress(name)))
                return true;
        } else if (name.compare(host, Qt::CaseInsensitive) == 0) {
            return true;
        }
    }
    return false;
}

// Only a missing revocation list is forgiven: most issuers publish none.
int forgiveMissingLists(int ok, X509_STORE_CTX *ctx)
{
    return ok || X509_STORE_CTX_get_error(ctx) == X509_V_ERR_UNABLE_TO_GET_CRL ? 1 : 0;
}

// The chain up to a certificate of trusted/ (or that certificate itself),
// with issuer/ supplying what lies between. Dates are judged apart.
std::optional<CertificateProblem> chainProblem(X509 *cert, const QString &root)
{
    StorePtr store(X509_STORE_new(), X509_STORE_free);
    ContextPtr ctx(X509_STORE_CTX_new(), X509_STORE_CTX_free);
    StackPtr between(sk_X509_new_null(), [](STACK_OF(X509) *s) { sk_X509_pop_free(s, X509_free); });
    if (!store || !ctx || !between)
        return CertificateProblem::Untrusted;
    for (auto &trusted : certificatesIn(root + QStringLiteral("/trusted/certs")))
        X509_STORE_add_cert(store.get(), trusted.get());
    // "issuers" too: node-opcua's folders are often copied as they are.
    for (const char *folder : {"/issuer/certs", "/issuers/certs"})
        for (auto &issuer : certificatesIn(root + QLatin1String(folder)))
            sk_X509_push(between.get(), issuer.release());
    unsigned long flags = X509_V_FLAG_NO_CHECK_TIME | X509_V_FLAG_PARTIAL_CHAIN;
    bool lists = false;
    for (const char *folder : {"/trusted/crl", "/issuer/crl", "/issuers/crl"})
        for (X509_CRL *crl : revocationListsIn(root + QLatin1String(folder))) {
            X509_STORE_add_crl(store.get(), crl);
            X509_CRL_free(crl);
            lists = true;
        }
    if (lists) {
        flags |= X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL;
        X509_STORE_set_verify_cb(store.get(), forgiveMissingLists);
    }
    X509_STORE_set_flags(store.get(), flags);
    if (X509_STORE_CTX_init(ctx.get(), store.get(), cert, between.get()) != 1)
        return CertificateProblem::Untrusted;
    if (X509_verify_cert(ctx.get()) == 1)
        return std::nullopt;
    switch (X509_STORE_CTX_get_error(ctx.get())) {
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
        return CertificateProblem::BadSignature;
    case X509_V_ERR_CERT_REVOKED:
        return CertificateProblem::Revoked;
    default:
        break;
    }
    // Untrusted; say too when a self-signed one does not even verify itself.
    EVP_PKEY *key = X509_get0_pubkey(cert);
    if (X509_check_issued(cert, cert) == X509_V_OK && (!key || X509_verify(cert, key) != 1))
        return CertificateProblem::BadSignature;
    return CertificateProblem::Untrusted;
}

QMutex acceptedLock;
QSet<QByteArray> &accepted()
{
    static QSet<QByteArray> thumbprints;
    return thumbprints;
}

QString problemText(CertificateProblem problem, const CertificateFacts &facts, const QString &applicationUri,
                    const QString &host)
{
    switch (problem) {
    case CertificateProblem::Unreadable:
        return QStringLiteral("Il certificato non è leggibile.");
    case CertificateProblem::Untrusted:
        return QStringLiteral("Il certificato non è attendibile: né lui né chi l'ha firmato si trova tra i "
                              "certificati attendibili.");
    case CertificateProblem::BadSignature:
        return QStringLiteral("La firma del certificato non è valida.");
    case CertificateProblem::Revoked:
        return QStringLiteral("Il certificato è stato revocato.");
    case CertificateProblem::Expired:
        return QStringLiteral("Il certificato è scaduto il %1.").arg(opc::certificateDateText(facts.notAfter));
    case CertificateProblem::NotYetValid:
        return QStringLiteral("Il certificato è valido solo dal %1.").arg(opc::certificateDateText(facts.notBefore));
    case CertificateProblem::UriMismatch:
        return QStringLiteral("L'URI dell'applicazione nel certificato (%1) non è quello del server (%2).")
            .arg(facts.applicationUri, applicationUri);
    case CertificateProblem::HostMismatch:
        return QStringLiteral("Il nome host %1 non compare tra i nomi del certificato.").arg(host);
    }
    return {};
}

} // namespace

std::optional<CertificateFacts> describeCertificate(const QByteArray &der)
{
    X509Ptr cert = parse(der);
    if (!cert)
        return std::nullopt;
    CertificateFacts facts;
    facts.subject = nameOf(X509_get_subject_name(cert.get()));
    facts.issuer = nameOf(X509_get_issuer_name(cert.get()));
    facts.notBefore = dateOf(X509_get0_notBefore(cert.get()));
    facts.notAfter = dateOf(X509_get0_notAfter(cert.get()));
    facts.thumbprint = QString::fromLatin1(certificateThumbprint(der).toHex().toUpper());
    altNames(cert.get(), facts);
    EVP_PKEY *key = X509_get0_pubkey(cert.get());
    facts.keyBits = key ? EVP_PKEY_get_bits(key) : 0;
    return facts;
}

TrustList::TrustList(QString pkiRoot) : m_root(std::move(pkiRoot)) {}

TrustVerdict TrustList::check(const QByteArray &der, const QString &applicationUri, const QString &host) const
{
    TrustVerdict verdict;
    X509Ptr cert = parse(der);
    const auto facts = describeCertificate(der);
    if (!cert || !facts) {
        verdict.problems.push_back(CertificateProblem::Unreadable);
        verdict.error = S::UA_E_CERTUNTRUSTED;
        return verdict;
    }
    {
        QMutexLocker lock(&acceptedLock);
        if (accepted().contains(certificateThumbprint(der)))
            return verdict;
    }
    if (const auto problem = chainProblem(cert.get(), m_root))
        verdict.problems.push_back(*problem);
    if (X509_cmp_current_time(X509_get0_notAfter(cert.get())) <= 0)
        verdict.problems.push_back(CertificateProblem::Expired);
    else if (X509_cmp_current_time(X509_get0_notBefore(cert.get())) >= 0)
        verdict.problems.push_back(CertificateProblem::NotYetValid);
    if (facts->applicationUri != applicationUri)
        verdict.problems.push_back(CertificateProblem::UriMismatch);
    if (!hostMatches(host, facts->hostNames))
        verdict.problems.push_back(CertificateProblem::HostMismatch);
    if (verdict.problems.empty())
        return verdict;
    switch (verdict.problems.front()) {
    case CertificateProblem::Expired:
    case CertificateProblem::NotYetValid:
        verdict.error = S::UA_E_CERTTIMEINVALID;
        break;
    case CertificateProblem::UriMismatch:
    case CertificateProblem::HostMismatch:
        verdict.error = S::UA_E_CERTNAMEINVALID;
        break;
    default:
        verdict.error = S::UA_E_CERTUNTRUSTED;
    }
    return verdict;
}

QString TrustList::fileName(const QByteArray &der)
{
    QString name;
    if (X509Ptr cert = parse(der)) {
        X509_NAME *subject = X509_get_subject_name(cert.get());
        const int at = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
        if (at >= 0)
            name = text(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at)));
    }
    // Only what is safe in a file name on every system the folder may be
    // copied to.
    name.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9 ._@-]")), QStringLiteral("_"));
    name = name.left(64).trimmed();
    const QString thumbprint = QString::fromLatin1(certificateThumbprint(der).toHex().toUpper());
    return (name.isEmpty() ? QString() : name + QLatin1Char(' ')) + QLatin1Char('[') + thumbprint + QStringLiteral("].der");
}

// The certificate into one of the PKI's folders, made if missing.
bool TrustList::store(const QString &folder, const QByteArray &der) const
{
    const QString path = m_root + folder;
    if (!QDir().mkpath(path))
        return false;
    QFile f(path + QLatin1Char('/') + fileName(der));
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(der) == der.size();
}

bool TrustList::reject(const QByteArray &der) const
{
    return !der.isEmpty() && store(QStringLiteral("/rejected/certs"), der);
}

bool TrustList::trust(const QByteArray &der) const
{
    if (!parse(der) || !store(QStringLiteral("/trusted/certs"), der))
        return false;
    QFile::remove(m_root + QStringLiteral("/rejected/certs/") + fileName(der));
    return true;
}

void TrustList::acceptForThisRun(const QByteArray &der)
{
    QMutexLocker lock(&acceptedLock);
    accepted().insert(certificateThumbprint(der));
}

RefusedCertificate TrustList::refusal(const QByteArray &der, const TrustVerdict &verdict, const QString &applicationUri,
                                      const QString &host) const
{
    RefusedCertificate out;
    const CertificateFacts facts = describeCertificate(der).value_or(CertificateFacts{});
    static_cast<CertificateFacts &>(out) = facts;
    for (CertificateProblem problem : verdict.problems)
        out.problems << problemText(problem, facts, applicationUri, host);
    if (verdict.problems.front() == CertificateProblem::Unreadable)
        return out; // nothing to trust
    const TrustList list(m_root);
    out.decide = [list, der](CertificateDecision decision) {
        // Trusting also accepts it for this run: dates and names are judged
        // again at every start, the operator's word holds until then.
        if (decision == CertificateDecision::TrustAlways)
            list.trust(der);
        if (decision != CertificateDecision::Reject)
            acceptForThisRun(der);
    };
    return out;
}

} // namespace opc::ua
