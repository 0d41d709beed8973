// SPDX-License-Identifier: GPL-3.0-or-later
// Whether a server certificate is believed: chains, dates, names,
// revocation, the operator's decisions.
#include "opc/errors.h"
#include "opc/ua/security/crypto.h"
#include "opc/ua/security/pki.h"
#include "opc/ua/security/trust.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace opc::ua;
namespace S = opc::Status;
using Problems = std::vector<CertificateProblem>;
Q_DECLARE_METATYPE(Problems)

namespace {

// A plant's certificates, made by the openssl command as a plant's CA would:
// a CA with a good and a revoked leaf, its list and the same list gone
// stale; a root with an intermediate and a leaf below it, and another
// intermediate past its dates with its own leaf; application certificates
// that are not what they claim (SHA-1, client only, a DNS entry spelling an
// address); an application certificate with CA:TRUE and a certificate
// without basic constraints, each issuing a leaf.
const char *MakeCa = R"(set -e
cat > ca.cnf <<'CNF'
[ca]
default_ca = ca_default
[ca_default]
dir = .
database = $ENV::DB
new_certs_dir = .
certificate = $ENV::CERT
private_key = $ENV::KEY
serial = serial
crlnumber = crlnumber
default_md = sha256
default_days = 30
default_crl_days = 30
policy = anything
unique_subject = no
[anything]
commonName = supplied
[leaf]
subjectAltName = URI:urn:quorivo:chained,IP:127.0.0.1,DNS:localhost
basicConstraints = CA:FALSE
[intermediate]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
CNF
echo 01 > serial; echo 01 > crlnumber
ca() { DB=$1.db CERT=$1.pem KEY=$1.key openssl ca -batch -config ca.cnf -notext "${@:2}"; }
root() { openssl req -x509 -newkey rsa:2048 -nodes -keyout $1.key -out $1.pem -subj /CN=$1 -days 30 "${@:2}"; }
request() { openssl req -newkey rsa:2048 -nodes -keyout $1.key -out $1.csr -subj /CN=$1 2>/dev/null; }
for c in ca root; do
  root $c -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign; touch $c.db
done
# The CA's good and revoked leaves, its list, and the same list gone stale.
for n in good revoked; do request $n; ca ca -extensions leaf -in $n.csr -out $n.pem; done
ca ca -revoke revoked.pem
ca ca -gencrl -out ca.crl
ca ca -gencrl -crl_lastupdate 20200101000000Z -crl_nextupdate 20200201000000Z -out ca-stale.crl
# root -> inter -> chained; root -> old (an intermediate past its dates) -> late.
for n in inter old; do request $n; done
ca root -extensions intermediate -in inter.csr -out inter.pem
ca root -extensions intermediate -in old.csr -out old.pem -startdate 20200101000000Z -enddate 20210101000000Z
touch inter.db old.db
request chained; ca inter -extensions leaf -in chained.csr -out chained.pem
request late; ca old -extensions leaf -in late.csr -out late.pem
for c in root inter; do ca $c -gencrl -out $c.crl; done
# Application certificates that are not what they claim.
app() { root $1 -addext subjectAltName=URI:urn:quorivo:server,$2 "${@:3}"; }
app sha1 IP:127.0.0.1 -sha1
app client IP:127.0.0.1 -addext extendedKeyUsage=clientAuth
app dnsip DNS:127.0.0.1
root appca -addext subjectAltName=URI:urn:quorivo:appca -addext basicConstraints=critical,CA:TRUE
request nobc; openssl x509 -req -in nobc.csr -signkey nobc.key -out nobc.pem -days 30 2>/dev/null
cat > leaf.cnf <<'CNF'
[leaf]
subjectAltName = URI:urn:quorivo:chained,IP:127.0.0.1,DNS:localhost
basicConstraints = CA:FALSE
CNF
for issuer in appca nobc; do
  request by$issuer
  openssl x509 -req -in by$issuer.csr -CA $issuer.pem -CAkey $issuer.key -CAcreateserial -days 30 \
    -extfile leaf.cnf -extensions leaf -out by$issuer.pem 2>/dev/null
done
for f in *.pem; do openssl x509 -in $f -outform DER -out ${f%.pem}.der; done
)";

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool put(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

const QString ServerUri = QStringLiteral("urn:quorivo:server");

} // namespace

class TestUaTrust : public QObject {
    Q_OBJECT
    QTemporaryDir m_ca;
    QByteArray m_self, m_expired, m_future, m_weak;

    static QByteArray selfSigned(int fromDays, int forDays, int keyBits = 2048)
    {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        const auto made = makeApplicationCertificate(ServerUri, {QStringLiteral("localhost"), QStringLiteral("127.0.0.1")},
                                                     now.addDays(fromDays), now.addDays(fromDays + forDays), keyBits,
                                                     QStringLiteral("Server"));
        return made ? made->der : QByteArray();
    }

    // A certificate by name; "a+b" is a chain, b appended to a.
    QByteArray bytes(const QString &name) const
    {
        if (name.contains(QLatin1Char('+'))) {
            QByteArray chain;
            for (const QString &part : name.split(QLatin1Char('+')))
                chain += bytes(part);
            return chain;
        }
        if (name == QLatin1String("weak"))
            return m_weak;
        if (name == QLatin1String("self"))
            return m_self;
        if (name == QLatin1String("expired"))
            return m_expired;
        if (name == QLatin1String("future"))
            return m_future;
        if (name == QLatin1String("garbage"))
            return QByteArray("\x30\x82\x01\x00not a certificate", 21);
        if (name == QLatin1String("broken")) {
            QByteArray der = m_self;
            der[der.size() - 10] = static_cast<char>(der[der.size() - 10] ^ 0x40); // inside the signature
            return der;
        }
        if (name == QLatin1String("ca")) // PEM, as CAs hand them out
            return readFile(m_ca.filePath(QStringLiteral("ca.pem")));
        return readFile(m_ca.filePath(name + QStringLiteral(".der")));
    }

private slots:
    void initTestCase()
    {
        m_self = selfSigned(-1, 365);
        m_expired = selfSigned(-400, 365);
        m_future = selfSigned(10, 365);
        m_weak = selfSigned(-1, 365, 1024);
        QVERIFY(!m_self.isEmpty() && !m_expired.isEmpty() && !m_future.isEmpty() && !m_weak.isEmpty());
        QProcess make;
        make.setWorkingDirectory(m_ca.path());
        make.start(QStringLiteral("bash"), {QStringLiteral("-c"), QString::fromLatin1(MakeCa)});
        QVERIFY2(make.waitForFinished(60000) && make.exitCode() == 0, make.readAllStandardError().constData());
    }

    // What each certificate comes to, with what the PKI holds.
    void verdicts_data()
    {
        QTest::addColumn<QString>("certificate"); // which one
        QTest::addColumn<QStringList>("trusted"); // files for trusted/certs
        QTest::addColumn<QStringList>("issuers"); // files for issuer/certs
        QTest::addColumn<QStringList>("crls"); // files for trusted/crl
        QTest::addColumn<QString>("uri");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("error");
        QTest::addColumn<Problems>("problems");
        using P = CertificateProblem;
        const QStringList none;
        const QString chained = QStringLiteral("urn:quorivo:chained");
        const QString ip = QStringLiteral("127.0.0.1");
        QTest::newRow("not a certificate") << "garbage" << none << none << none << ServerUri << ip << S::UA_E_CERTUNTRUSTED
                                           << Problems{P::Unreadable};
        QTest::newRow("self-signed, unknown") << "self" << none << none << none << ServerUri << ip << S::UA_E_CERTUNTRUSTED
                                              << Problems{P::Untrusted};
        QTest::newRow("self-signed, trusted") << "self" << QStringList{"self"} << none << none << ServerUri << ip << 0
                                              << Problems{};
        QTest::newRow("trusted, by DNS name in other case") << "self" << QStringList{"self"} << none << none << ServerUri
                                                            << "LocalHost" << 0 << Problems{};
        QTest::newRow("trusted, expired") << "expired" << QStringList{"expired"} << none << none << ServerUri << ip
                                          << S::UA_E_CERTTIMEINVALID << Problems{P::Expired};
        QTest::newRow("trusted, not yet valid") << "future" << QStringList{"future"} << none << none << ServerUri << ip
                                                << S::UA_E_CERTTIMEINVALID << Problems{P::NotYetValid};
        QTest::newRow("trusted, other server") << "self" << QStringList{"self"} << none << none << "urn:quorivo:other" << ip
                                               << S::UA_E_CERTNAMEINVALID << Problems{P::UriMismatch};
        QTest::newRow("trusted, other host") << "self" << QStringList{"self"} << none << none << ServerUri << "plc7"
                                             << S::UA_E_CERTNAMEINVALID << Problems{P::HostMismatch};
        QTest::newRow("trusted, other address") << "self" << QStringList{"self"} << none << none << ServerUri << "10.0.0.7"
                                                << S::UA_E_CERTNAMEINVALID << Problems{P::HostMismatch};
        QTest::newRow("unknown, expired, other host: all said, untrusted first")
            << "expired" << none << none << none << ServerUri << "plc7" << S::UA_E_CERTUNTRUSTED
            << Problems{P::Untrusted, P::Expired, P::HostMismatch};
        QTest::newRow("signature broken") << "broken" << none << none << none << ServerUri << ip << S::UA_E_CERTUNTRUSTED
                                          << Problems{P::BadSignature};
        QTest::newRow("issued by a trusted CA") << "good" << QStringList{"ca"} << none << none << chained << ip << 0
                                                << Problems{};
        QTest::newRow("issued by a CA only known as issuer") << "good" << none << QStringList{"ca"} << none << chained << ip
                                                             << S::UA_E_CERTUNTRUSTED << Problems{P::Untrusted};
        QTest::newRow("issued, the CA's list present") << "good" << QStringList{"ca"} << none << QStringList{"ca.crl"} << chained << ip << 0
                                                       << Problems{};
        QTest::newRow("issued and revoked") << "revoked" << QStringList{"ca"} << none << QStringList{"ca.crl"} << chained << ip
                                            << S::UA_E_CERTUNTRUSTED << Problems{P::Revoked};
        QTest::newRow("issued and revoked, no list to say so") << "revoked" << QStringList{"ca"} << none << none << chained
                                                               << ip << 0 << Problems{};
        // Every certificate of the chain judged, and each for what it is.
        const QStringList root{"root"}, inter{"inter"};
        QTest::newRow("chain appended, its root trusted") << "chained+inter" << root << none << none << chained << ip << 0
                                                          << Problems{};
        QTest::newRow("the intermediate nowhere") << "chained" << root << none << none << chained << ip
                                                  << S::UA_E_CERTUNTRUSTED << Problems{P::Untrusted};
        QTest::newRow("intermediate from issuer/, both lists") << "chained" << root << inter
                                                               << QStringList{"root.crl", "inter.crl"} << chained << ip << 0
                                                               << Problems{};
        QTest::newRow("a list, but not its issuer's") << "chained" << root << inter << QStringList{"root.crl"} << chained << ip
                                                      << S::UA_E_CERTREVOCATIONUNKNOWN << Problems{P::RevocationUnknown};
        QTest::newRow("its issuer's list, not the one above") << "chained" << root << inter << QStringList{"inter.crl"}
                                                              << chained << ip << S::UA_E_CERTISSUERREVOCATIONUNKNOWN
                                                              << Problems{P::IssuerRevocationUnknown};
        QTest::newRow("the CA's list stale") << "good" << QStringList{"ca"} << none << QStringList{"ca-stale.crl"} << chained
                                             << ip << S::UA_E_CERTREVOCATIONUNKNOWN << Problems{P::RevocationUnknown};
        QTest::newRow("a CA without a list among CAs with one") << "good" << QStringList{"ca", "root"} << none
                                                                << QStringList{"root.crl"} << chained << ip
                                                                << S::UA_E_CERTREVOCATIONUNKNOWN << Problems{P::RevocationUnknown};
        QTest::newRow("an intermediate past its dates") << "late+old" << root << none << none << chained << ip
                                                        << S::UA_E_CERTISSUERTIME << Problems{P::IssuerTimeInvalid};
        QTest::newRow("a 1024-bit key") << "weak" << QStringList{"weak"} << none << none << ServerUri << ip
                                        << S::UA_E_CERTPOLICY << Problems{P::PolicyCheckFailed};
        QTest::newRow("signed with SHA-1") << "sha1" << QStringList{"sha1"} << none << none << ServerUri << ip
                                           << S::UA_E_CERTPOLICY << Problems{P::PolicyCheckFailed};
        QTest::newRow("a client's certificate") << "client" << QStringList{"client"} << none << none << ServerUri << ip
                                                << S::UA_E_CERTUSE << Problems{P::UseNotAllowed};
        QTest::newRow("issued by an application's certificate") << "byappca" << QStringList{"appca"} << none << none << chained
                                                                << ip << S::UA_E_CERTISSUERUSE
                                                                << Problems{P::IssuerUseNotAllowed};
        QTest::newRow("issued by an anchor without basic constraints") << "bynobc" << QStringList{"nobc"} << none << none
                                                                       << chained << ip << S::UA_E_CERTISSUERUSE
                                                                       << Problems{P::IssuerUseNotAllowed};
        QTest::newRow("an address spelled as a DNS name") << "dnsip" << QStringList{"dnsip"} << none << none << ServerUri << ip
                                                          << S::UA_E_CERTNAMEINVALID << Problems{P::HostMismatch};
    }

    void verdicts()
    {
        QFETCH(QString, certificate);
        QFETCH(QStringList, trusted);
        QFETCH(QStringList, issuers);
        QFETCH(QStringList, crls);
        QFETCH(QString, uri);
        QFETCH(QString, host);
        QFETCH(int, error);
        QFETCH(Problems, problems);
        QTemporaryDir pki;
        for (const QString &name : trusted)
            QVERIFY(put(pki.filePath(QStringLiteral("trusted/certs/") + name), bytes(name)));
        for (const QString &name : issuers)
            QVERIFY(put(pki.filePath(QStringLiteral("issuer/certs/") + name), bytes(name)));
        for (const QString &name : crls)
            QVERIFY(put(pki.filePath(QStringLiteral("trusted/crl/") + name), readFile(m_ca.filePath(name))));
        const TrustVerdict verdict = TrustList(pki.path()).check(bytes(certificate), uri, host);
        QCOMPARE(verdict.problems, problems);
        QCOMPARE(verdict.error, error);
    }

    // Rejected certificates are kept for the operator; trusting one moves
    // it; accepting one holds for the run whatever is wrong with it.
    void decisions()
    {
        QTemporaryDir pki;
        const TrustList list(pki.path());
        const QString name = TrustList::fileName(m_future);
        QCOMPARE(name, QStringLiteral("Server [") + QString::fromLatin1(certificateThumbprint(m_future).toHex().toUpper()) +
                           QStringLiteral("].der"));
        const QString plc7 = QStringLiteral("plc7");
        const TrustVerdict verdict = list.check(m_future, ServerUri, plc7);
        QCOMPARE(verdict.error, S::UA_E_CERTUNTRUSTED);
        QVERIFY(list.reject(m_future));
        QCOMPARE(readFile(pki.filePath(QStringLiteral("rejected/certs/") + name)), m_future);

        const auto refused = list.refusal(m_future, verdict, ServerUri, plc7);
        QCOMPARE(refused.subject, QStringLiteral("CN=Server, O=Drovane, DC=localhost"));
        QCOMPARE(refused.hostNames, (QStringList{"localhost", "127.0.0.1"}));
        QCOMPARE(refused.applicationUri, ServerUri);
        QCOMPARE(refused.keyBits, 2048);
        QCOMPARE(refused.thumbprint.size(), 40);
        QCOMPARE(refused.problems.size(), 3);
        QVERIFY(refused.problems[1].startsWith(QStringLiteral("Il certificato è valido solo dal ")));
        QCOMPARE(refused.problems[2], QStringLiteral("Il nome host plc7 non compare tra i nomi del certificato."));
        QVERIFY(refused.decide);
        refused.decide(opc::CertificateDecision::Reject);
        QVERIFY(!QFile::exists(pki.filePath(QStringLiteral("trusted/certs/") + name)));
        QCOMPARE(list.check(m_future, ServerUri, plc7).error, S::UA_E_CERTUNTRUSTED);

        refused.decide(opc::CertificateDecision::TrustAlways);
        QCOMPARE(readFile(pki.filePath(QStringLiteral("trusted/certs/") + name)), m_future);
        QVERIFY(!QFile::exists(pki.filePath(QStringLiteral("rejected/certs/") + name)));
        QCOMPARE(list.check(m_future, ServerUri, plc7).error, 0);
        // The run's acceptance holds whatever PKI is asked.
        QTemporaryDir other;
        QCOMPARE(TrustList(other.path()).check(m_future, ServerUri, plc7).error, 0);

        // Nothing to decide about a certificate that cannot be read.
        const QByteArray junk("junk");
        const auto unreadable = list.refusal(junk, list.check(junk, {}, {}), {}, {});
        QVERIFY(!unreadable.decide);
        QVERIFY(!list.trust(junk));
    }
};

QTEST_MAIN(TestUaTrust)
#include "tst_uatrust.moc"
