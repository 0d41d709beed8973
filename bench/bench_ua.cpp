// SPDX-License-Identifier: GPL-3.0-or-later
// The OPC UA bridge beside node-opcua's own client, against the same
// node-opcua peer in the same run: one Read of 10,000 variables, 10,000
// sequential Reads, and 10,000 items changing every second.
#include "uabenchclient.h"
#include "opc/ua/security/pki.h"
#include "uapeer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <algorithm>
#include <cstdio>
#include <sys/resource.h>

using namespace opc::ua;

namespace {

constexpr int BulkRounds = 9;

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void row(const char *what, const QString &ours, const QString &theirs)
{
    std::printf("| %-44s | %18s | %18s |\n", what, qPrintable(ours), qPrintable(theirs));
}

std::vector<ReadValueId> massNodes(int n)
{
    std::vector<ReadValueId> ids;
    for (int i = 0; i < n; ++i)
        ids.push_back({NodeId::str(1, QStringLiteral("Mass.D%1").arg(i)), Attr::Value});
    return ids;
}

// node-opcua's client on a secured endpoint needs a certificate the strict
// peer trusts: made here, in the peer's trusted folder before it starts.
struct NodeClientCertificate {
    QString certificateFile, keyFile, applicationUri;
};

NodeClientCertificate nodeClientCertificate()
{
    NodeClientCertificate out;
    out.applicationUri = QStringLiteral("urn:quorivo:bench:node-opcua");
    out.certificateFile = UaPeer::pki() + QStringLiteral("/bench-node-client.pem");
    out.keyFile = UaPeer::pki() + QStringLiteral("/bench-node-client.key");
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const auto made = makeApplicationCertificate(out.applicationUri, {QStringLiteral("localhost")}, now.addDays(-1),
                                                 now.addDays(30), 2048, QStringLiteral("BenchNodeClient"));
    if (made) {
        writeFile(out.certificateFile, pemOf(made->der));
        writeFile(out.keyFile, made->privateKeyPem);
        writeFile(UaPeer::pki() + QStringLiteral("/server/trusted/certs/bench-node-client.pem"), pemOf(made->der));
    }
    return out;
}

// One table: the bridge and node-opcua's client on the same endpoint.
bool measure(UaPeer &peer, const char *policy, const char *mode, const NodeClientCertificate &nodeCertificate)
{
    const QString server = QStringLiteral("urn:quorivo:peer (%1, %2)").arg(QLatin1String(policy), QLatin1String(mode));
    BenchClient bridge(peer.url(), server);
    if (!bridge.connected()) {
        std::printf("OPC UA bench: the bridge could not connect to %s\n", qPrintable(server));
        return false;
    }
    Client *client = bridge.client();
    const auto read = [&bridge](const QByteArray &list) { return bridge.read(list); };

    // The peer compiles its hot paths on first use: it is warmed before
    // either client is measured, so neither pays for that alone.
    const auto all = massNodes(10000);
    const QByteArray allList = encodeReadList(all);
    const auto one = [&all](int i) { return encodeReadList({all[static_cast<size_t>(i)]}); };
    for (int r = 0; r < 3; ++r)
        read(allList);
    for (int i = 0; i < 3000; ++i)
        read(one(i));

    QProcess node;
    node.setWorkingDirectory(QStringLiteral(QUORIVO_UA_PEER_DIR));
    node.start(QStringLiteral("node"), {QStringLiteral("bench_client.js"), peer.url(), QLatin1String(policy), QLatin1String(mode),
                                        nodeCertificate.certificateFile, nodeCertificate.keyFile,
                                        nodeCertificate.applicationUri});
    node.waitForFinished(180000);
    // Its result is the last line; the library may log before it.
    const QList<QByteArray> lines = node.readAllStandardOutput().trimmed().split('\n');
    const QJsonObject theirs = QJsonDocument::fromJson(lines.isEmpty() ? QByteArray() : lines.last()).object();

    QThread::msleep(1000); // the peer closes the other client's session first

    std::vector<double> bulk;
    double cpu0 = cpuSeconds();
    size_t decoded = 0;
    for (int r = 0; r < BulkRounds; ++r) {
        QElapsedTimer t;
        t.start();
        decoded += read(allList);
        bulk.push_back(t.nsecsElapsed() / 1e6);
    }
    const double bulkCpuMs = (cpuSeconds() - cpu0) * 1000 / BulkRounds;
    std::sort(bulk.begin(), bulk.end());

    QElapsedTimer t;
    t.start();
    cpu0 = cpuSeconds();
    for (int i = 0; i < 10000; ++i)
        decoded += read(one(i));
    const double sequential = t.nsecsElapsed() / 1e6;
    const double sequentialCpuMs = (cpuSeconds() - cpu0) * 1000;
    if (decoded != 10000 * (BulkRounds + 1))
        std::printf("OPC UA bench: %zu of %d values came back\n", decoded, 10000 * (BulkRounds + 1));

    std::vector<Client::ItemSpec> wanted;
    for (int i = 0; i < 10000; ++i)
        wanted.push_back({static_cast<uint32_t>(i + 1), all[static_cast<size_t>(i)].nodeId, 1000});
    bridge.worker().call<int32_t>(30000, -1, [client, wanted](std::function<void(int32_t)> done) {
        client->addSubscription(1, 1000, [client, wanted, done](int32_t e, double) {
            if (e)
                return done(e);
            client->addItems(1, wanted, done);
        });
    });
    QThread::msleep(3000); // settle
    const uint64_t n0 = client->notifications();
    cpu0 = cpuSeconds();
    t.restart();
    QThread::msleep(5000);
    const double seconds = t.nsecsElapsed() / 1e9;
    const double perSecond = (client->notifications() - n0) / seconds;
    const double cpu = (cpuSeconds() - cpu0) / seconds * 100;

    const auto ms = [](double v) { return QString::number(v, 'f', 1) + QStringLiteral(" ms"); };
    const auto num = [&theirs](const char *key, int digits, const char *unit) {
        return theirs.contains(QLatin1String(key))
                   ? QString::number(theirs.value(QLatin1String(key)).toDouble(), 'f', digits) + QLatin1String(unit)
                   : QStringLiteral("n/a");
    };
    const QByteArray title = QStringLiteral("OPC UA, %1 %2").arg(QLatin1String(policy), QLatin1String(mode)).toLatin1();
    std::printf("\n| %-44s | %18s | %18s |\n|%s|%s|%s|\n", title.constData(), "Quorivo bridge",
                "node-opcua client", std::string(46, '-').c_str(), std::string(20, '-').c_str(),
                std::string(20, '-').c_str());
    row("one Read of 10,000 variables (median of 9)", ms(bulk[BulkRounds / 2]), num("bulkMs", 1, " ms"));
    row("  CPU of the client process, per Read", ms(bulkCpuMs), num("bulkCpuMs", 1, " ms"));
    row("10,000 sequential Reads", ms(sequential), num("sequentialMs", 1, " ms"));
    row("  CPU of the client process", ms(sequentialCpuMs), num("sequentialCpuMs", 1, " ms"));
    row("10,000 items changing every second: notif./s", QString::number(perSecond, 'f', 0),
        num("notificationsPerSecond", 0, ""));
    row("  CPU of the client process", QString::number(cpu, 'f', 1) + QStringLiteral(" %"), num("cpuPercent", 1, " %"));
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const NodeClientCertificate nodeCertificate = nodeClientCertificate();
    UaPeer peer;
    if (!peer.available()) {
        std::printf("OPC UA bench skipped: %s\n", qPrintable(peer.why()));
        return 0;
    }
    const bool open = measure(peer, "None", "None", nodeCertificate);
    const bool secured = measure(peer, "Basic256Sha256", "SignAndEncrypt", nodeCertificate);
    return open && secured ? 0 : 1;
}
