// SPDX-License-Identifier: GPL-3.0-or-later
// The program's own certificate and its PKI folder, read back with OpenSSL
// as a server would read them.
#include "opc/ua/security/pki.h"
#include "opc/ua/security/trust.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

using namespace opc::ua;

namespace {

using X509Ptr = std::unique_ptr<X509, decltype(&X509_free)>;

X509Ptr parse(const QByteArray &der)
{
    const auto *p = reinterpret_cast<const unsigned char *>(der.constData());
    return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())), X509_free);
}

QStringList altNames(X509 *cert)
{
    QStringList out;
    auto *names = static_cast<GENERAL_NAMES *>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names); ++i) {
        const GENERAL_NAME *name = sk_GENERAL_NAME_value(names, i);
        const ASN1_IA5STRING *text = name->type == GEN_URI ? name->d.uniformResourceIdentifier
                                     : name->type == GEN_DNS ? name->d.dNSName
                                                             : nullptr;
        if (text)
            out << QString::fromLatin1(name->type == GEN_URI ? "URI:" : "DNS:") +
                       QString::fromUtf8(reinterpret_cast<const char *>(ASN1_STRING_get0_data(text)), ASN1_STRING_length(text));
    }
    GENERAL_NAMES_free(names);
    return out;
}

// Readable and writable by its owner, nothing for group or others.
bool ownerOnly(const QString &path)
{
    const auto p = QFile::permissions(path);
    const auto others = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther |
                        QFileDevice::WriteOther | QFileDevice::ExeOther;
    return (p & others) == 0 && (p & QFileDevice::ReadOwner) && (p & QFileDevice::WriteOwner);
}

qint64 daysBetween(const ASN1_TIME *from, const ASN1_TIME *to)
{
    int days = 0, seconds = 0;
    ASN1_TIME_diff(&days, &seconds, from, to);
    return days;
}

} // namespace

class TestUaPki : public QObject {
    Q_OBJECT
private slots:
    void theFolderAndTheCertificateAsServersExpectThem()
    {
        QTemporaryDir dir;
        Pki pki(dir.path() + QStringLiteral("/pki"));
        QString error;
        const auto own = pki.own(&error);
        QVERIFY2(own, qPrintable(error));
        for (const char *sub : {"own/certs", "own/private", "trusted/certs", "trusted/crl", "issuer/certs", "issuer/crl",
                                "rejected/certs"})
            QVERIFY2(QDir(pki.root() + QLatin1Char('/') + QLatin1String(sub)).exists(), sub);
        QVERIFY(ownerOnly(pki.privateKeyPath()));
        QCOMPARE(QFile(pki.certificatePath()).size(), own->der.size());

        X509Ptr cert = parse(own->der);
        QVERIFY(cert);
        QCOMPARE(X509_get_version(cert.get()), 2L); // v3
        EVP_PKEY *key = X509_get0_pubkey(cert.get());
        QCOMPARE(EVP_PKEY_get_base_id(key), EVP_PKEY_RSA);
        QCOMPARE(EVP_PKEY_get_bits(key), 2048);
        QCOMPARE(X509_get_signature_nid(cert.get()), NID_sha256WithRSAEncryption);
        QCOMPARE(X509_verify(cert.get(), key), 1); // self-signed
        QCOMPARE(X509_NAME_cmp(X509_get_subject_name(cert.get()), X509_get_issuer_name(cert.get())), 0);
        QCOMPARE(own->applicationUri, ownApplicationUri());
        QVERIFY(own->applicationUri.startsWith(QStringLiteral("urn:")) && own->applicationUri.endsWith(QStringLiteral(":Quorivo")));
        QCOMPARE(altNames(cert.get()), (QStringList{QStringLiteral("URI:") + ownApplicationUri(), QStringLiteral("DNS:") + hostName()}));
        const uint32_t usage = X509_get_key_usage(cert.get());
        for (uint32_t bit : {KU_DIGITAL_SIGNATURE, KU_NON_REPUDIATION, KU_KEY_ENCIPHERMENT, KU_DATA_ENCIPHERMENT, KU_KEY_CERT_SIGN})
            QVERIFY(usage & bit);
        const uint32_t extended = X509_get_extended_key_usage(cert.get());
        QVERIFY(extended & XKU_SSL_CLIENT);
        QVERIFY(extended & XKU_SSL_SERVER);
        QCOMPARE(X509_check_ca(cert.get()), 0);
        const qint64 days = daysBetween(X509_get0_notBefore(cert.get()), X509_get0_notAfter(cert.get()));
        QVERIFY2(days >= 5 * 365 && days <= 5 * 366, qPrintable(QString::number(days)));
    }

    // Servers trust exactly this certificate: while valid it stays.
    void aValidCertificateIsNeverReplaced()
    {
        QTemporaryDir dir;
        Pki pki(dir.path());
        const auto first = pki.own();
        QVERIFY(first);
        const auto again = Pki(dir.path()).own();
        QVERIFY(again);
        QCOMPARE(again->der, first->der);
        QCOMPARE(again->privateKeyPem, first->privateKeyPem);
    }

    // One that expired, or that cannot be read, or whose key is not its own,
    // makes way for a new one.
    void anUnusableCertificateIsMadeAnew_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::newRow("expired") << "expired";
        QTest::newRow("not yet valid") << "future";
        QTest::newRow("not a certificate") << "garbage";
        QTest::newRow("another key") << "key";
    }

    void anUnusableCertificateIsMadeAnew()
    {
        QFETCH(QString, damage);
        QTemporaryDir dir;
        Pki pki(dir.path());
        const auto first = pki.own();
        QVERIFY(first);
        const QDateTime now = QDateTime::currentDateTimeUtc();
        QByteArray der = first->der;
        if (damage == QLatin1String("expired"))
            der = makeApplicationCertificate(first->applicationUri, QStringList{hostName()}, now.addYears(-6), now.addDays(-1))->der;
        else if (damage == QLatin1String("future"))
            der = makeApplicationCertificate(first->applicationUri, QStringList{hostName()}, now.addDays(1), now.addYears(5))->der;
        else if (damage == QLatin1String("garbage"))
            der = "not a certificate";
        else
            der = makeApplicationCertificate(first->applicationUri, QStringList{hostName()}, now, now.addYears(5))->der;
        QFile f(pki.certificatePath());
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(der);
        f.close();
        const auto made = pki.own();
        QVERIFY(made);
        QVERIFY(made->der != der && made->der != first->der);
        X509Ptr cert = parse(made->der);
        QVERIFY(cert);
        QCOMPARE(X509_cmp_current_time(X509_get0_notAfter(cert.get())), 1);
        QVERIFY(ownerOnly(pki.privateKeyPath()));
    }

    void theFolderCanBeChosen()
    {
        qputenv("QUORIVO_PKI", "/tmp/elsewhere/pki");
        QCOMPARE(Pki::defaultRoot(), QStringLiteral("/tmp/elsewhere/pki"));
        // Relative, it would move with the working directory.
        qputenv("QUORIVO_PKI", "relative/pki");
        QCOMPARE(Pki::defaultRoot(), QDir::current().absoluteFilePath(QStringLiteral("relative/pki")));
        qunsetenv("QUORIVO_PKI");
        QVERIFY(Pki::defaultRoot().endsWith(QStringLiteral("/pki")));
    }

    // The folders cannot be turned against the user: a rejection keeps a
    // bounded certificate and nothing else, a link planted in a folder is
    // replaced, never followed, and a PKI others can write is not used.
    void theFoldersCannotBeTurnedAgainstTheUser()
    {
        QTemporaryDir dir;
        const QString root = dir.path();
        const auto own = Pki(root).own();
        QVERIFY(own);
        const TrustList list(root);
        QStringList hosts;
        for (int i = 0; i < 3000; ++i)
            hosts << QStringLiteral("host-%1.plant.example").arg(i);
        const QDateTime now = QDateTime::currentDateTimeUtc();
        const auto huge = makeApplicationCertificate(QStringLiteral("urn:huge"), hosts, now, now.addDays(1));
        QVERIFY(huge && huge->der.size() > 64 * 1024);
        QVERIFY(!list.reject(QByteArray("not a certificate")));
        QVERIFY(!list.reject(huge->der));
        QVERIFY(QDir(root + QStringLiteral("/rejected/certs")).entryList(QDir::Files).isEmpty());

        const QString outside = root + QStringLiteral("/outside");
        QFile mine(outside);
        QVERIFY(mine.open(QIODevice::WriteOnly) && mine.write("mine") == 4);
        mine.close();
        const QString planted = root + QStringLiteral("/rejected/certs/") + TrustList::fileName(own->der);
        QVERIFY(QFile::link(outside, planted));
        QVERIFY(list.reject(own->der + QByteArray(100, 'x'))); // what follows the leaf is not kept
        QFile kept(planted);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), own->der);
        QVERIFY(!QFileInfo(planted).isSymLink());
        QFile untouched(outside);
        QVERIFY(untouched.open(QIODevice::ReadOnly));
        QCOMPARE(untouched.readAll(), QByteArray("mine"));

        QVERIFY(!Pki(root).unsafeFolder());
        QVERIFY(QFile::setPermissions(root + QStringLiteral("/trusted/certs"), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                          QFileDevice::ExeOwner | QFileDevice::WriteOther | QFileDevice::ExeOther));
        const auto unsafe = Pki(root).unsafeFolder();
        QVERIFY(unsafe && unsafe->contains(QStringLiteral("/trusted/certs can be written by other users")));
    }

    void anUnwritableFolderIsSaid()
    {
        QTemporaryDir dir;
        QFile blocker(dir.path() + QStringLiteral("/pki"));
        QVERIFY(blocker.open(QIODevice::WriteOnly)); // a file where the folder should be
        blocker.close();
        QString error;
        QVERIFY(!Pki(blocker.fileName()).own(&error));
        QVERIFY(error.contains(QStringLiteral("cannot make")));
    }
};

QTEST_GUILESS_MAIN(TestUaPki)
#include "tst_uapki.moc"
