// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/ua/security/trust.h"

#include "opc/errors.h"
#include "opc/ua/security/crypto.h"
#include "opc/ua/security/pki.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QMutex>
#include <QRegularExpression>
#include <QSet>
#include <QtEndian>
#include <algorithm>
#include <memory>
#include <openssl/evp.h>
#include <openssl/objects.h>
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

// The largest certificate a rejection keeps, and the most certificates a
// chain may carry appended.
constexpr qsizetype MaxCertificateBytes = 64 * 1024;
constexpr int MaxAppended = 8;
// What these policies want of a server certificate (OPC 10000-7 §6.6: the
// RSA policies Basic256Sha256, Aes128_Sha256_RsaOaep, Aes256_Sha256_RsaPss).
constexpr int MinKeyBits = 2048, MaxKeyBits = 4096;

X509Ptr parse(const QByteArray &der)
{
    const auto *p = reinterpret_cast<const unsigned char *>(der.constData());
    // Trailing bytes are the chain: the first certificate is the leaf.
    return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())), X509_free);
}

// The certificates appended after the leaf.
std::vector<X509Ptr> appendedTo(const QByteArray &chain)
{
    std::vector<X509Ptr> out;
    const auto *p = reinterpret_cast<const unsigned char *>(chain.constData());
    const auto *end = p + chain.size();
    X509Ptr leaf(d2i_X509(nullptr, &p, static_cast<long>(chain.size())), X509_free);
    while (leaf && p < end && out.size() < MaxAppended) {
        X509Ptr next(d2i_X509(nullptr, &p, static_cast<long>(end - p)), X509_free);
        if (!next)
            break;
        out.push_back(std::move(next));
    }
    return out;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.read(1 << 20) : QByteArray();
}

// Every object of one kind in a folder, each file DER or PEM.
template <typename T>
std::vector<T *> objectsIn(const QString &folder, T *(*fromDer)(T **, const unsigned char **, long),
                           T *(*fromPem)(BIO *, T **, pem_password_cb *, void *))
{
    std::vector<T *> out;
    for (const QString &name : QDir(folder).entryList(QDir::Files)) {
        const QByteArray data = readAll(folder + QLatin1Char('/') + name);
        const auto *p = reinterpret_cast<const unsigned char *>(data.constData());
        T *object = fromDer(nullptr, &p, static_cast<long>(data.size()));
        if (!object) {
            std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(data.constData(), static_cast<int>(data.size())),
                                                          BIO_free);
            object = bio ? fromPem(bio.get(), nullptr, nullptr, nullptr) : nullptr;
        }
        if (object)
            out.push_back(object);
    }
    return out;
}

std::vector<X509Ptr> certificatesIn(const QString &folder)
{
    std::vector<X509Ptr> out;
    for (X509 *cert : objectsIn<X509>(folder, d2i_X509, PEM_read_bio_X509))
        out.emplace_back(cert, X509_free);
    return out;
}

std::vector<X509_CRL *> revocationListsIn(const QString &folder)
{
    return objectsIn<X509_CRL>(folder, d2i_X509_CRL, PEM_read_bio_X509_CRL);
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

// What the subjectAltName names: the first URI, the DNS names, the
// addresses; the two kinds of host name are matched apart (RFC 6125 §6.2).
struct AltNames {
    QString uri;
    QStringList dnsNames;
    QList<QHostAddress> addresses;
    QStringList hostNames; // both, in the certificate's order, as shown
};

AltNames altNamesOf(const X509 *cert)
{
    AltNames out;
    auto *names = static_cast<GENERAL_NAMES *>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names); ++i) {
        const GENERAL_NAME *name = sk_GENERAL_NAME_value(names, i);
        if (name->type == GEN_URI && out.uri.isEmpty())
            out.uri = text(name->d.uniformResourceIdentifier);
        else if (name->type == GEN_DNS) {
            out.dnsNames << text(name->d.dNSName);
            out.hostNames << out.dnsNames.last();
        }
        else if (name->type == GEN_IPADD) {
            const ASN1_OCTET_STRING *ip = name->d.iPAddress;
            const auto *bytes = ASN1_STRING_get0_data(ip);
            QHostAddress address;
            if (ASN1_STRING_length(ip) == 4)
                address.setAddress(qFromBigEndian<quint32>(bytes));
            else if (ASN1_STRING_length(ip) == 16)
                address.setAddress(bytes);
            if (!address.isNull()) {
                out.addresses << address;
                out.hostNames << address.toString();
            }
        }
    }
    GENERAL_NAMES_free(names);
    return out;
}

// An address typed is matched against the addresses alone, a name against
// the DNS names alone: a DNS entry that spells an address is no address.
bool hostMatches(const QString &host, const AltNames &names)
{
    const QHostAddress typed(host);
    if (!typed.isNull())
        return std::any_of(names.addresses.begin(), names.addresses.end(),
                           [&typed](const QHostAddress &a) { return typed.isEqual(a); });
    return std::any_of(names.dnsNames.begin(), names.dnsNames.end(),
                       [&host](const QString &name) { return name.compare(host, Qt::CaseInsensitive) == 0; });
}

QString digestOf(const X509 *cert)
{
    int digest = NID_undef;
    if (X509_get_signature_info(const_cast<X509 *>(cert), &digest, nullptr, nullptr, nullptr) != 1 || digest == NID_undef)
        return QStringLiteral("?");
    return QString::fromLatin1(OBJ_nid2sn(digest)).toUpper().remove(QLatin1Char('-'));
}

bool strongDigest(const X509 *cert)
{
    int digest = NID_undef;
    return X509_get_signature_info(const_cast<X509 *>(cert), &digest, nullptr, nullptr, nullptr) == 1 &&
           (digest == NID_sha256 || digest == NID_sha384 || digest == NID_sha512);
}

// The leaf's key and signature as the policies ask: RSA of 2048 to 4096
// bits, signed with SHA-256 (or a longer SHA-2); the same signature for each
// certificate above it but the trust anchor, whose own signature proves
// nothing.
bool meetsPolicy(const X509 *leaf, const std::vector<X509 *> &issuers)
{
    EVP_PKEY *key = X509_get0_pubkey(leaf);
    const int bits = key ? EVP_PKEY_get_bits(key) : 0;
    if (!key || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA || bits < MinKeyBits || bits > MaxKeyBits || !strongDigest(leaf))
        return false;
    for (size_t i = 0; i + 1 < issuers.size(); ++i)
        if (!strongDigest(issuers[i]))
            return false;
    return true;
}

// A server's application certificate (OPC 10000-6 §6.2.2): where it names
// its uses, a server's are among them.
bool serverUseAllowed(X509 *cert)
{
    const uint32_t flags = X509_get_extension_flags(cert);
    if ((flags & EXFLAG_XKUSAGE) && !(X509_get_extended_key_usage(cert) & XKU_SSL_SERVER))
        return false;
    if (flags & EXFLAG_KUSAGE) {
        const uint32_t usage = X509_get_key_usage(cert);
        if (!(usage & KU_DIGITAL_SIGNATURE) || !(usage & (KU_KEY_ENCIPHERMENT | KU_DATA_ENCIPHERMENT)))
            return false;
    }
    return true;
}

// A certificate that issues another: a CA by its basic constraints, allowed
// to sign certificates where it names its uses, and no application's own
// certificate (those name an application URI).
bool mayIssue(X509 *cert)
{
    const uint32_t flags = X509_get_extension_flags(cert);
    if (!(flags & EXFLAG_BCONS) || !(flags & EXFLAG_CA))
        return false;
    if ((flags & EXFLAG_KUSAGE) && !(X509_get_key_usage(cert) & KU_KEY_CERT_SIGN))
        return false;
    return altNamesOf(cert).uri.isEmpty();
}

// Every complaint of the chain's verification, with the depth it concerns.
struct Complaint {
    int error;
    int depth;
};

int recordComplaint(int ok, X509_STORE_CTX *ctx)
{
    if (!ok)
        static_cast<std::vector<Complaint> *>(X509_STORE_CTX_get_app_data(ctx))
            ->push_back({X509_STORE_CTX_get_error(ctx), X509_STORE_CTX_get_error_depth(ctx)});
    return 1; // go on: every certificate of the chain is judged
}

bool selfSigned(X509 *cert) { return X509_check_issued(cert, cert) == X509_V_OK; }

// The chain up to a certificate of trusted/ (or that certificate itself),
// with issuer/ and the certificates the server appended supplying what lies
// between; each certificate of it judged for its dates, signature,
// revocation and right to issue. The leaf's own dates are judged apart.
std::vector<CertificateProblem> chainProblems(X509 *leaf, const std::vector<X509Ptr> &appended, const QString &root)
{
    using P = CertificateProblem;
    StorePtr store(X509_STORE_new(), X509_STORE_free);
    ContextPtr ctx(X509_STORE_CTX_new(), X509_STORE_CTX_free);
    StackPtr between(sk_X509_new_null(), [](STACK_OF(X509) *s) { sk_X509_pop_free(s, X509_free); });
    if (!store || !ctx || !between)
        return {P::Untrusted};
    for (auto &trusted : certificatesIn(root + QStringLiteral("/trusted/certs")))
        X509_STORE_add_cert(store.get(), trusted.get());
    // "issuers" too: node-opcua's folders are often copied as they are.
    for (const char *folder : {"/issuer/certs", "/issuers/certs"})
        for (auto &issuer : certificatesIn(root + QLatin1String(folder)))
            sk_X509_push(between.get(), issuer.release());
    for (const auto &cert : appended)
        if (X509_up_ref(cert.get()) == 1)
            sk_X509_push(between.get(), cert.get());
    unsigned long flags = X509_V_FLAG_PARTIAL_CHAIN;
    bool lists = false;
    for (const char *folder : {"/trusted/crl", "/issuer/crl", "/issuers/crl"})
        for (X509_CRL *crl : revocationListsIn(root + QLatin1String(folder))) {
            X509_STORE_add_crl(store.get(), crl);
            X509_CRL_free(crl);
            lists = true;
        }
    // Without any list nothing can be revoked: most issuers publish none.
    if (lists)
        flags |= X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL;
    X509_STORE_set_flags(store.get(), flags);
    X509_STORE_set_verify_cb(store.get(), recordComplaint);
    std::vector<Complaint> complaints;
    if (X509_STORE_CTX_init(ctx.get(), store.get(), leaf, between.get()) != 1)
        return {P::Untrusted};
    X509_STORE_CTX_set_app_data(ctx.get(), &complaints);
    const bool verified = X509_verify_cert(ctx.get()) == 1;
    std::vector<X509 *> chain;
    if (STACK_OF(X509) *built = X509_STORE_CTX_get0_chain(ctx.get()))
        for (int i = 0; i < sk_X509_num(built); ++i)
            chain.push_back(sk_X509_value(built, i));

    std::vector<P> problems;
    const auto add = [&problems](P p) {
        if (std::find(problems.begin(), problems.end(), p) == problems.end())
            problems.push_back(p);
    };
    bool anchored = verified || !complaints.empty();
    for (const Complaint &c : complaints)
        switch (c.error) {
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_CERT_UNTRUSTED:
        case X509_V_ERR_CERT_REJECTED:
            anchored = false;
            break;
        default:
            break;
        }
    if (!anchored) {
        // Untrusted; say too when a self-signed one does not even verify
        // itself, or is too weak to be trusted whoever vouched for it.
        EVP_PKEY *key = X509_get0_pubkey(leaf);
        add(selfSigned(leaf) && (!key || X509_verify(leaf, key) != 1) ? P::BadSignature : P::Untrusted);
        if (!meetsPolicy(leaf, {}))
            add(P::PolicyCheckFailed);
        return problems;
    }
    const int top = static_cast<int>(chain.size()) - 1;
    for (const Complaint &c : complaints) {
        // The top of the chain is the trust anchor: nothing above it can
        // revoke it.
        const bool revocationJudged = c.depth < top;
        switch (c.error) {
        case X509_V_ERR_CERT_SIGNATURE_FAILURE:
        case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
        case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
            add(P::BadSignature);
            break;
        case X509_V_ERR_CERT_REVOKED:
            add(P::Revoked);
            break;
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CERT_NOT_YET_VALID:
        case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
        case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
            if (c.depth > 0)
                add(P::IssuerTimeInvalid);
            break;
        case X509_V_ERR_UNABLE_TO_GET_CRL:
        case X509_V_ERR_CRL_HAS_EXPIRED:
        case X509_V_ERR_CRL_NOT_YET_VALID:
        case X509_V_ERR_ERROR_IN_CRL_LAST_UPDATE_FIELD:
        case X509_V_ERR_ERROR_IN_CRL_NEXT_UPDATE_FIELD:
        case X509_V_ERR_CRL_SIGNATURE_FAILURE:
        case X509_V_ERR_UNABLE_TO_GET_CRL_ISSUER:
            if (revocationJudged)
                add(c.depth == 0 ? P::RevocationUnknown : P::IssuerRevocationUnknown);
            break;
        case X509_V_ERR_INVALID_CA:
        case X509_V_ERR_KEYUSAGE_NO_CERTSIGN:
        case X509_V_ERR_PATH_LENGTH_EXCEEDED:
            add(P::IssuerUseNotAllowed);
            break;
        case X509_V_ERR_EE_KEY_TOO_SMALL:
        case X509_V_ERR_CA_KEY_TOO_SMALL:
        case X509_V_ERR_CA_MD_TOO_WEAK:
            add(P::PolicyCheckFailed);
            break;
        default:
            add(P::Untrusted);
            break;
        }
    }
    for (size_t i = 1; i < chain.size(); ++i)
        if (!mayIssue(chain[i]))
            add(P::IssuerUseNotAllowed);
    if (!meetsPolicy(leaf, std::vector<X509 *>(chain.begin() + std::min<size_t>(1, chain.size()), chain.end())))
        add(P::PolicyCheckFailed);
    return problems;
}

QMutex acceptedLock;
// The operator's acceptances of this run, by thumbprint: the application
// URI each certificate names.
QHash<QByteArray, QString> &accepted()
{
    static QHash<QByteArray, QString> thumbprints;
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
    case CertificateProblem::IssuerTimeInvalid:
        return QStringLiteral("Il certificato di chi l'ha firmato è scaduto o non è ancora valido.");
    case CertificateProblem::RevocationUnknown:
        return QStringLiteral("Non si può sapere se il certificato è stato revocato: la lista di revoca di chi l'ha "
                              "firmato manca o non è aggiornata.");
    case CertificateProblem::IssuerRevocationUnknown:
        return QStringLiteral("Non si può sapere se il certificato di chi l'ha firmato è stato revocato: la sua lista "
                              "di revoca manca o non è aggiornata.");
    case CertificateProblem::IssuerUseNotAllowed:
        return QStringLiteral("Chi ha firmato il certificato non è un'autorità di certificazione: il suo certificato "
                              "non può firmarne altri.");
    case CertificateProblem::UseNotAllowed:
        return QStringLiteral("Il certificato non è fatto per un server: i suoi usi non lo permettono.");
    case CertificateProblem::PolicyCheckFailed:
        return QStringLiteral("Il certificato è troppo debole per la sicurezza di OPC UA: chiave RSA di %1 bit, firma "
                              "%2 (servono da %3 a %4 bit e SHA-256).")
            .arg(facts.keyBits)
            .arg(facts.signatureDigest)
            .arg(MinKeyBits)
            .arg(MaxKeyBits);
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

int32_t errorOf(CertificateProblem problem)
{
    using P = CertificateProblem;
    switch (problem) {
    case P::IssuerTimeInvalid: return S::UA_E_CERTISSUERTIME;
    case P::RevocationUnknown: return S::UA_E_CERTREVOCATIONUNKNOWN;
    case P::IssuerRevocationUnknown: return S::UA_E_CERTISSUERREVOCATIONUNKNOWN;
    case P::IssuerUseNotAllowed: return S::UA_E_CERTISSUERUSE;
    case P::UseNotAllowed: return S::UA_E_CERTUSE;
    case P::PolicyCheckFailed: return S::UA_E_CERTPOLICY;
    case P::Expired:
    case P::NotYetValid: return S::UA_E_CERTTIMEINVALID;
    case P::UriMismatch:
    case P::HostMismatch: return S::UA_E_CERTNAMEINVALID;
    default: return S::UA_E_CERTUNTRUSTED;
    }
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
    const AltNames names = altNamesOf(cert.get());
    facts.applicationUri = names.uri;
    facts.hostNames = names.hostNames;
    EVP_PKEY *key = X509_get0_pubkey(cert.get());
    facts.keyBits = key ? EVP_PKEY_get_bits(key) : 0;
    facts.signatureDigest = digestOf(cert.get());
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
    const std::vector<X509Ptr> appended = appendedTo(der);
    bool acceptedThisRun = false;
    {
        QMutexLocker lock(&acceptedLock);
        acceptedThisRun = accepted().contains(certificateThumbprint(der));
    }
    verdict.problems = chainProblems(cert.get(), appended, m_root);
    if (acceptedThisRun) {
        // The operator's word holds for everything but strength: a weak key
        // stays weak whoever trusts it.
        const bool weak = std::count(verdict.problems.begin(), verdict.problems.end(), CertificateProblem::PolicyCheckFailed);
        verdict.problems.clear();
        if (weak)
            verdict.problems.push_back(CertificateProblem::PolicyCheckFailed);
    } else {
        if (!serverUseAllowed(cert.get()))
            verdict.problems.push_back(CertificateProblem::UseNotAllowed);
        if (X509_cmp_current_time(X509_get0_notAfter(cert.get())) <= 0)
            verdict.problems.push_back(CertificateProblem::Expired);
        else if (X509_cmp_current_time(X509_get0_notBefore(cert.get())) >= 0)
            verdict.problems.push_back(CertificateProblem::NotYetValid);
        if (facts->applicationUri != applicationUri)
            verdict.problems.push_back(CertificateProblem::UriMismatch);
        if (!hostMatches(host, altNamesOf(cert.get())))
            verdict.problems.push_back(CertificateProblem::HostMismatch);
    }
    if (!verdict.problems.empty())
        verdict.error = errorOf(verdict.problems.front());
    return verdict;
}

bool TrustList::knowsApplication(const QString &applicationUri) const
{
    if (applicationUri.isEmpty())
        return false;
    {
        // Accepted for this run, it is known exactly as a trusted one is.
        QMutexLocker lock(&acceptedLock);
        const auto &uris = accepted();
        if (std::find(uris.begin(), uris.end(), applicationUri) != uris.end())
            return true;
    }
    const auto trusted = certificatesIn(m_root + QStringLiteral("/trusted/certs"));
    return std::any_of(trusted.begin(), trusted.end(),
                       [&applicationUri](const X509Ptr &cert) { return altNamesOf(cert.get()).uri == applicationUri; });
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

// The leaf into one of the PKI's folders, made if missing; bounded, and
// written without following a link planted in the folder.
bool TrustList::store(const QString &folder, const QByteArray &der) const
{
    const QByteArray leaf = leafCertificate(der);
    if (leaf.isEmpty() || leaf.size() > MaxCertificateBytes)
        return false;
    const QString path = m_root + folder;
    return QDir().mkpath(path) && writeFileSafely(path, fileName(leaf), leaf, false);
}

bool TrustList::reject(const QByteArray &der) const { return store(QStringLiteral("/rejected/certs"), der); }

bool TrustList::trust(const QByteArray &der) const
{
    if (!store(QStringLiteral("/trusted/certs"), der))
        return false;
    QFile::remove(m_root + QStringLiteral("/rejected/certs/") + fileName(der));
    return true;
}

void TrustList::acceptForThisRun(const QByteArray &der)
{
    const auto facts = describeCertificate(der);
    QMutexLocker lock(&acceptedLock);
    accepted().insert(certificateThumbprint(der), facts ? facts->applicationUri : QString());
}

RefusedCertificate TrustList::refusal(const QByteArray &der, const TrustVerdict &verdict, const QString &applicationUri,
                                      const QString &host) const
{
    RefusedCertificate out;
    const CertificateFacts facts = describeCertificate(der).value_or(CertificateFacts{});
    static_cast<CertificateFacts &>(out) = facts;
    for (CertificateProblem problem : verdict.problems)
        out.problems << problemText(problem, facts, applicationUri, host);
    const auto hopeless = [&verdict](CertificateProblem p) {
        return std::find(verdict.problems.begin(), verdict.problems.end(), p) != verdict.problems.end();
    };
    if (hopeless(CertificateProblem::Unreadable) || hopeless(CertificateProblem::PolicyCheckFailed))
        return out; // nothing the operator's trust could mend
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
