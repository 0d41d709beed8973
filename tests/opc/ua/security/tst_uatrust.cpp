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

// A CA, a certificate it issued, another it issued and revoked, and its
// revocation list, made by the openssl command as a plant's CA would.
const char *MakeCa = R"(set -e
cat > ca.cnf <<'CNF'
[ca]
default_ca = ca_default
[ca_default]
dir = .
database = index.txt
new_certs_dir = .
certificate = ca.pem
private_key = ca.key
serial = serial
crlnumber = crlnumber
default_md = sha256
default_days = 30
default_crl_days = 30
policy = anything
[anything]
commonName = supplied
[leaf]
subjectAltName = URI:urn:quorivo:chained,IP:127.0.0.1,DNS:localhost
basicConstraints = CA:FALSE
CNF
touch index.txt; echo 01 > serial; echo 01 > crlnumber
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -subj /CN=TestCA -days 30 \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
for n in good revoked; do
  openssl req -newkey rsa:2048 -nodes -keyout $n.key -out $n.csr -subj /CN=$n
  openssl ca -batch -config ca.cnf -extensions leaf -in $n.csr -out $n.pem -notext
  openssl x509 -in $n.pem -outform DER -out $n.der
done
openssl ca -batch -config ca.cnf -revoke revoked.pem
openssl ca -batch -config ca.cnf -gencrl -out ca.crl
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
    QByteArray m_self, m_expired, m_future;

    static QByteArray selfSigned(int fromDays, int forDays)
    {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        const auto made = makeApplicationCertificate(ServerUri, {QStringLiteral("localhost"), QStringLiteral("127.0.0.1")},
                                                     now.addDays(fromDays), now.addDays(fromDays + forDays), 2048,
                                                     QStringLiteral("Server"));
        return made ? made->der : QByteArray();
    }

    QByteArray bytes(const QString &name) const
    {
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
        QVERIFY(!m_self.isEmpty() && !m_expired.isEmpty() && !m_future.isEmpty());
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
        QTest::addColumn<bool>("withCrl");
        QTest::addColumn<QString>("uri");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("error");
        QTest::addColumn<Problems>("problems");
        using P = CertificateProblem;
        const QStringList none;
        const QString chained = QStringLiteral("urn:quorivo:chained");
        const QString ip = QStringLiteral("127.0.0.1");
        QTest::newRow("not a certificate") << "garbage" << none << none << false << ServerUri << ip << S::UA_E_CERTUNTRUSTED
                                           << Problems{P::Unreadable};
        QTest::newRow("self-signed, unknown") << "self" << none << none << false << ServerUri << ip << S::UA_E_CERTUNTRUSTED
                                              << Problems{P::Untrusted};
        QTest::newRow("self-signed, trusted") << "self" << QStringList{"self"} << none << false << ServerUri << ip << 0
                                              << Problems{};
        QTest::newRow("trusted, by DNS name in other case") << "self" << QStringList{"self"} << none << false << ServerUri
                                                            << "LocalHost" << 0 << Problems{};
        QTest::newRow("trusted, expired") << "expired" << QStringList{"expired"} << none << false << ServerUri << ip
                                          << S::UA_E_CERTTIMEINVALID << Problems{P::Expired};
        QTest::newRow("trusted, not yet valid") << "future" << QStringList{"future"} << none << false << ServerUri << ip
                                                << S::UA_E_CERTTIMEINVALID << Problems{P::NotYetValid};
        QTest::newRow("trusted, other server") << "self" << QStringList{"self"} << none << false << "urn:quorivo:other" << ip
                                               << S::UA_E_CERTNAMEINVALID << Problems{P::UriMismatch};
        QTest::newRow("trusted, other host") << "self" << QStringList{"self"} << none << false << ServerUri << "plc7"
                                             << S::UA_E_CERTNAMEINVALID << Problems{P::HostMismatch};
        QTest::newRow("trusted, other address") << "self" << QStringList{"self"} << none << false << ServerUri << "10.0.0.7"
                                                << S::UA_E_CERTNAMEINVALID << Problems{P::HostMismatch};
        QTest::newRow("unknown, expired, other host: all said, untrusted first")
            << "expired" << none << none << false << ServerUri << "plc7" << S::UA_E_CERTUNTRUSTED
            << Problems{P::Untrusted, P::Expired, P::HostMismatch};
        QTest::newRow("signature broken") << "broken" << none << none << false << ServerUri << ip << S::UA_E_CERTUNTRUSTED
                                          << Problems{P::BadSignature};
        QTest::newRow("issued by a trusted CA") << "good" << QStringList{"ca"} << none << false << chained << ip << 0
                                                << Problems{};
        QTest::newRow("issued by a CA only known as issuer") << "good" << none << QStringList{"ca"} << false << chained << ip
                                                             << S::UA_E_CERTUNTRUSTED << Problems{P::Untrusted};
        QTest::newRow("issued, the CA's list present") << "good" << QStringList{"ca"} << none << true << chained << ip << 0
                                                       << Problems{};
        QTest::newRow("issued and revoked") << "revoked" << QStringList{"ca"} << none << true << chained << ip
                                            << S::UA_E_CERTUNTRUSTED << Problems{P::Revoked};
        QTest::newRow("issued and revoked, no list to say so") << "revoked" << QStringList{"ca"} << none << false << chained
                                                               << ip << 0 << Problems{};
    }

    void verdicts()
    {
        QFETCH(QString, certificate);
        QFETCH(QStringList, trusted);
        QFETCH(QStringList, issuers);
        QFETCH(bool, withCrl);
        QFETCH(QString, uri);
        QFETCH(QString, host);
        QFETCH(int, error);
        QFETCH(Problems, problems);
        QTemporaryDir pki;
        for (const QString &name : trusted)
            QVERIFY(put(pki.filePath(QStringLiteral("trusted/certs/") + name), bytes(name)));
        for (const QString &name : issuers)
            QVERIFY(put(pki.filePath(QStringLiteral("issuer/certs/") + name), bytes(name)));
        if (withCrl)
            QVERIFY(put(pki.filePath(QStringLiteral("trusted/crl/ca.crl")), readFile(m_ca.filePath(QStringLiteral("ca.crl")))));
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
