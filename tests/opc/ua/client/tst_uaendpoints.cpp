// SPDX-License-Identifier: GPL-3.0-or-later
// Which endpoint a connect takes: the operator's text, the order of a
// server's endpoints, the URL a chosen endpoint is reached at.
#include "opc/errors.h"
#include "opc/ua/client/endpoints.h"

#include <QTest>

using namespace opc::ua;
namespace S = opc::Status;

namespace {

EndpointDescription endpoint(const char *policy, int mode, int level, const char *server = "urn:s")
{
    EndpointDescription ep;
    ep.server.applicationUri = QString::fromLatin1(server);
    ep.securityPolicyUri = QStringLiteral("http://opcfoundation.org/UA/SecurityPolicy#") + QLatin1String(policy);
    ep.securityMode = mode;
    ep.securityLevel = static_cast<uint8_t>(level);
    ep.endpointUrl = QStringLiteral("opc.tcp://plc-internal:4841/ua/server");
    return ep;
}

QString describe(const EndpointDescription &ep)
{
    return ep.securityPolicyUri.mid(ep.securityPolicyUri.indexOf(QLatin1Char('#')) + 1) + QLatin1Char(' ') +
           QString::number(ep.securityMode);
}

} // namespace

class TestUaEndpoints : public QObject {
    Q_OBJECT

private slots:
    void endpointChoices_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("server");
        QTest::addColumn<bool>("exact");
        QTest::addColumn<int>("policy");
        QTest::addColumn<int>("mode");
        QTest::newRow("bare") << "urn:plc7:Server" << "urn:plc7:Server" << false << 0 << 1;
        QTest::newRow("named") << "urn:plc7:Server (Basic256Sha256, SignAndEncrypt)" << "urn:plc7:Server" << true
                               << int(Policy::Basic256Sha256) << 3;
        QTest::newRow("spaces around") << "  urn:plc7:Server  (Aes256_Sha256_RsaPss,Sign)  " << "urn:plc7:Server" << true
                                       << int(Policy::Aes256Sha256RsaPss) << 2;
        QTest::newRow("none") << "urn:a (None, None)" << "urn:a" << true << 0 << 1;
        QTest::newRow("deprecated policy: all a name") << "urn:a (Basic256, Sign)" << "urn:a (Basic256, Sign)" << false << 0 << 1;
        QTest::newRow("unknown mode: all a name") << "urn:a (None, Encrypt)" << "urn:a (None, Encrypt)" << false << 0 << 1;
        QTest::newRow("parentheses in the name") << "urn:a(1) (None, None)" << "urn:a(1)" << true << 0 << 1;
        QTest::newRow("only the ending") << "(None, None)" << "(None, None)" << false << 0 << 1;
    }

    void endpointChoices()
    {
        QFETCH(QString, text);
        QFETCH(QString, server);
        QFETCH(bool, exact);
        QFETCH(int, policy);
        QFETCH(int, mode);
        const EndpointChoice choice = parseEndpointChoice(text);
        QCOMPARE(choice.serverUri, server);
        QCOMPARE(choice.exact, exact);
        if (exact) {
            QCOMPARE(int(choice.policy), policy);
            QCOMPARE(int(choice.mode), mode);
            // The listing's text reads back as the same choice.
            const EndpointChoice again = parseEndpointChoice(endpointChoiceText(choice.serverUri, choice.policy, choice.mode));
            QCOMPARE(again.serverUri, server);
            QCOMPARE(int(again.policy), policy);
            QCOMPARE(int(again.mode), mode);
        }
    }

    void endpointOrderAndPick()
    {
        std::vector<EndpointDescription> all{
            endpoint("None", 1, 0), endpoint("Basic256Sha256", 2, 5),
            endpoint("Basic256", 3, 9), // deprecated: never
            endpoint("Aes128_Sha256_RsaOaep", 3, 5), endpoint("Aes256_Sha256_RsaPss", 3, 5), endpoint("Basic256Sha256", 3, 5),
            endpoint("None", 3, 9), // None cannot sign: never
            endpoint("Basic256Sha256", 2, 7), endpoint("Aes256_Sha256_RsaPss", 3, 1, "urn:other")};
        all[1].transportProfileUri = QStringLiteral("http://opcfoundation.org/UA-Profile/Transport/https-uabinary");
        QStringList order;
        for (const auto &ep : usableEndpoints(all, QStringLiteral("urn:s")))
            order << describe(ep);
        // The server's level first, then the mode, then our ranking of policies.
        QCOMPARE(order, (QStringList{"Basic256Sha256 2", "Aes256_Sha256_RsaPss 3", "Basic256Sha256 3", "Aes128_Sha256_RsaOaep 3",
                                     "None 1"}));
        const auto pick = [&all](const char *text) { return pickEndpoint(all, parseEndpointChoice(QString::fromLatin1(text))); };
        QCOMPARE(describe(pick("urn:s").endpoint), QStringLiteral("Basic256Sha256 2"));
        QCOMPARE(describe(pick("urn:s (None, None)").endpoint), QStringLiteral("None 1"));
        QCOMPARE(pick("urn:s (Aes256_Sha256_RsaPss, Sign)").error, S::UA_E_NOENDPOINT);
        QCOMPARE(pick("urn:typo").error, S::CO_E_CLASSSTRING);
        QCOMPARE(describe(pick("").endpoint), QStringLiteral("Basic256Sha256 2")); // any server's
        QCOMPARE(pickEndpoint({endpoint("Basic256", 3, 9)}, parseEndpointChoice(QStringLiteral("urn:s"))).error,
                 S::UA_E_NOENDPOINT);

        // The typed host and port stay; the endpoint gives its path.
        QCOMPARE(endpointUrlFor(QStringLiteral("opc.tcp://10.1.2.3:4840"), all[0].endpointUrl),
                 QStringLiteral("opc.tcp://10.1.2.3:4840/ua/server"));
        QCOMPARE(endpointUrlFor(QStringLiteral("opc.tcp://10.1.2.3:4840/typed"), QStringLiteral("opc.tcp://plc:4840")),
                 QStringLiteral("opc.tcp://10.1.2.3:4840/typed"));
        QCOMPARE(endpointUrlFor(QStringLiteral("opc.tcp://10.1.2.3:4840"), QStringLiteral("opc.tcp://plc:4840/")),
                 QStringLiteral("opc.tcp://10.1.2.3:4840"));
    }
};

QTEST_GUILESS_MAIN(TestUaEndpoints)
#include "tst_uaendpoints.moc"
