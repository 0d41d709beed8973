// SPDX-License-Identifier: GPL-3.0-or-later
// What one call of the OPC UA bridge costs the client, in counts a shared
// machine does not move: heap allocations and minor page faults (counted
// here), system calls (strace -c -f) and user-space instructions (valgrind
// --tool=callgrind), per sequential Read of one variable and per Read of
// 10,000, against the node-opcua peer; beside them wall and CPU time per
// call (which do move), and the targets: a call over None costs no more
// than over SignAndEncrypt, and a warm call faults nothing.
// tools/ua-counts.sh runs it.
//   quorivo_bench_uacounts            the counts this process can take itself
//   quorivo_bench_uacounts --tools    and strace's and callgrind's too
//   quorivo_bench_uacounts --client <url> <endpoint> <workload> <reads>
//                                      one client run, for the tools to watch
#include "uabenchclient.h"
#include "uapeer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <atomic>
#include <cstdio>
#include <map>
#include <sys/resource.h>

using namespace opc::ua;

// Every heap allocation of the process, whoever makes it (Qt's containers
// allocate with malloc, operator new goes through it too).
extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *p, size_t size);
}
namespace {
std::atomic<uint64_t> allocations{0};
}
extern "C" void *malloc(size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
extern "C" void *calloc(size_t count, size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
extern "C" void *realloc(void *p, size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, size);
}

namespace {

// Two runs of a workload, few and many calls: what the calls between them
// cost, without the connect.
constexpr int FewReads = 200, ManyReads = 1200;
constexpr int FewBulk = 3, ManyBulk = 13;

long minorFaults()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_minflt;
}

std::vector<ReadValueId> massNodes(int n)
{
    std::vector<ReadValueId> ids;
    for (int i = 0; i < n; ++i)
        ids.push_back({NodeId::str(1, QStringLiteral("Mass.D%1").arg(i)), Attr::Value});
    return ids;
}

struct Counts {
    double allocations = 0, faults = 0;
    double wallUs = 0, cpuUs = 0; // per call, the client process's CPU (user and system)
};

double cpuUs()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 + static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

// Connects, warms up, then makes `reads` calls of the workload: "sequential"
// reads one variable, "bulk" 10,000. The counts of the calls alone.
std::optional<Counts> runClient(const QString &url, const QString &endpoint, const QString &workload, int reads)
{
    BenchClient bridge(url, endpoint);
    if (!bridge.connected())
        return std::nullopt;
    const std::vector<ReadValueId> all = massNodes(10000);
    const auto read = [&bridge](const QByteArray &list) { return bridge.read(list); };
    const bool bulk = workload == QLatin1String("bulk");
    const QByteArray one = encodeReadList({all.front()}), many = encodeReadList(all);
    for (int i = 0; i < (bulk ? 2 : 100); ++i)
        read(bulk ? many : one);
    const uint64_t allocated = allocations.load();
    const long faults = minorFaults();
    const double cpu = cpuUs();
    QElapsedTimer wall;
    wall.start();
    size_t values = 0;
    for (int i = 0; i < reads; ++i)
        values += read(bulk ? many : one);
    Counts counts{static_cast<double>(allocations.load() - allocated) / reads, static_cast<double>(minorFaults() - faults) / reads,
                  static_cast<double>(wall.nsecsElapsed()) / 1000.0 / reads, (cpuUs() - cpu) / reads};
    if (values != static_cast<size_t>(reads) * (bulk ? all.size() : 1))
        return std::nullopt;
    return counts;
}

// Runs this program as a client under a tool and reads what it counted.
double underTool(const QString &tool, const QString &url, const QString &endpoint, const QString &workload, int reads)
{
    QTemporaryDir dir;
    const QString out = dir.filePath(QStringLiteral("out"));
    QStringList args;
    if (tool == QLatin1String("strace"))
        args << QStringLiteral("-f") << QStringLiteral("-c") << QStringLiteral("-o") << out;
    else
        args << QStringLiteral("--tool=callgrind") << QStringLiteral("--quiet") << QStringLiteral("--callgrind-out-file=") + out;
    args << QCoreApplication::applicationFilePath() << QStringLiteral("--client") << url << endpoint << workload
         << QString::number(reads);
    QProcess p;
    p.setStandardErrorFile(QProcess::nullDevice());
    p.start(tool == QLatin1String("strace") ? tool : QStringLiteral("valgrind"), args);
    if (!p.waitForFinished(600000) || p.exitCode() != 0)
        return -1;
    QFile f(out);
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    // strace: the calls column of its "total" line; callgrind: "summary: <Ir>".
    for (const QByteArray &line : f.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (tool == QLatin1String("strace") && fields.size() >= 5 && fields.last() == "total")
            return fields[3].toDouble();
        if (tool != QLatin1String("strace") && fields.size() == 2 && fields[0] == "summary:")
            return fields[1].toDouble();
    }
    return -1;
}

QString figure(double v, int digits = 1) { return v < 0 ? QStringLiteral("n/a") : QString::number(v, 'f', digits); }

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 6 && args[1] == QLatin1String("--client")) {
        const auto counts = runClient(args[2], args[3], args[4], args[5].toInt());
        if (!counts)
            return 1;
        std::printf("%.2f %.2f\n", counts->allocations, counts->faults);
        return 0;
    }
    const bool tools = args.contains(QStringLiteral("--tools"));
    UaPeer peer;
    if (!peer.available()) {
        std::printf("OPC UA counts skipped: %s\n", qPrintable(peer.why()));
        return 0;
    }
    std::printf("| %-52s | %14s | %14s | %14s | %14s | %10s | %10s |\n|%s|%s|%s|%s|%s|%s|%s|\n", "per call (client process)",
                "system calls", "instructions", "allocations", "minor faults", "wall us", "CPU us", std::string(54, '-').c_str(),
                std::string(16, '-').c_str(), std::string(16, '-').c_str(), std::string(16, '-').c_str(),
                std::string(16, '-').c_str(), std::string(12, '-').c_str(), std::string(12, '-').c_str());
    // CPU per call by workload, None first: the targets compare them.
    std::map<QString, std::pair<double, double>> cpuBy, instructionsBy;
    double warmFaults = 0;
    for (const char *security : {"None, None", "Basic256Sha256, SignAndEncrypt"})
        for (const char *workload : {"sequential", "bulk"}) {
            const QString endpoint = QStringLiteral("urn:quorivo:peer (%1)").arg(QLatin1String(security));
            const bool bulk = QByteArray(workload) == "bulk";
            const int few = bulk ? FewBulk : FewReads, many = bulk ? ManyBulk : ManyReads;
            const auto counts = runClient(peer.url(), endpoint, QLatin1String(workload), many);
            double calls = -1, instructions = -1;
            if (tools) {
                const auto perCall = [&](const char *tool) {
                    const double a = underTool(QLatin1String(tool), peer.url(), endpoint, QLatin1String(workload), few);
                    const double b = underTool(QLatin1String(tool), peer.url(), endpoint, QLatin1String(workload), many);
                    return a < 0 || b < 0 ? -1.0 : (b - a) / (many - few);
                };
                calls = perCall("strace");
                instructions = perCall("callgrind");
            }
            const QString what = QStringLiteral("%1, %2").arg(QLatin1String(bulk ? "one Read of 10,000" : "one sequential Read"),
                                                              QLatin1String(security));
            std::printf("| %-52s | %14s | %14s | %14s | %14s | %10s | %10s |\n", qPrintable(what), qPrintable(figure(calls)),
                        qPrintable(figure(instructions, 0)), qPrintable(figure(counts ? counts->allocations : -1)),
                        qPrintable(figure(counts ? counts->faults : -1)), qPrintable(figure(counts ? counts->wallUs : -1)),
                        qPrintable(figure(counts ? counts->cpuUs : -1)));
            std::fflush(stdout);
            if (counts) {
                const bool none = QByteArray(security).startsWith("None");
                auto &cpu = cpuBy[QLatin1String(workload)];
                (none ? cpu.first : cpu.second) = counts->cpuUs;
                auto &ir = instructionsBy[QLatin1String(workload)];
                (none ? ir.first : ir.second) = instructions;
                warmFaults = std::max(warmFaults, counts->faults);
            }
        }
    std::printf("\nTargets: a call over None costs no more CPU than over SignAndEncrypt; a warm call takes no page faults.\n");
    // CPU time moves with the machine's load; the instructions (with
    // --tools) do not.
    for (const auto &[workload, cpu] : cpuBy) {
        const auto &ir = instructionsBy[workload];
        std::printf("  %s: None / SignAndEncrypt CPU = %.2f, instructions = %s (target <= 1.00)\n", qPrintable(workload),
                    cpu.second > 0 ? cpu.first / cpu.second : -1.0,
                    qPrintable(ir.first > 0 && ir.second > 0 ? QString::number(ir.first / ir.second, 'f', 2) : QStringLiteral("n/a")));
    }
    std::printf("  warm minor faults per call, the most of any row: %.1f (target 0)\n",
                warmFaults);
    return 0;
}
