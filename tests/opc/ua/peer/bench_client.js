// SPDX-License-Identifier: GPL-3.0-or-later
// node-opcua's own client doing the bridge benchmark's work against the
// peer; prints one JSON line.
//   node bench_client.js <endpoint> [<policy> <mode> <certificate.pem> <key.pem> <applicationUri>]
// With a policy other than None it uses the given certificate, which the
// peer has been told to trust.
"use strict";
const { OPCUAClient, OPCUACertificateManager, AttributeIds, TimestampsToReturn, ClientMonitoredItemGroup, MessageSecurityMode, SecurityPolicy } = require("node-opcua");
const path = require("path");
const os = require("os");
const fs = require("fs");

async function main() {
    const [endpoint, policy = "None", mode = "None", certificateFile, privateKeyFile, applicationUri] = process.argv.slice(2);
    const secured = policy !== "None";
    const pki = fs.mkdtempSync(path.join(os.tmpdir(), "bench-node-pki-"));
    const client = OPCUAClient.create({
        endpointMustExist: false,
        securityMode: MessageSecurityMode[mode],
        securityPolicy: SecurityPolicy[policy],
        ...(secured ? { certificateFile, privateKeyFile, applicationUri,
            clientCertificateManager: new OPCUACertificateManager({ rootFolder: pki, automaticallyAcceptUnknownCertificate: true }) } : {}),
    });
    await client.connect(endpoint);
    const session = await client.createSession();
    const nodes = [];
    for (let i = 0; i < 10000; i++) nodes.push({ nodeId: `ns=1;s=Mass.D${i}`, attributeId: AttributeIds.Value });

    // Its own code is compiled on first use, as the peer's was before it came.
    for (let r = 0; r < 3; r++) await session.read(nodes);
    for (let i = 0; i < 3000; i++) await session.read(nodes[i]);
    const cpuMs = (since) => { const u = process.cpuUsage(since); return (u.user + u.system) / 1000; };

    const bulk = [];
    let cpuStart = process.cpuUsage();
    for (let r = 0; r < 9; r++) {
        const t = process.hrtime.bigint();
        await session.read(nodes);
        bulk.push(Number(process.hrtime.bigint() - t) / 1e6);
    }
    const bulkCpuMs = cpuMs(cpuStart) / 9;
    bulk.sort((a, b) => a - b);

    let t = process.hrtime.bigint();
    cpuStart = process.cpuUsage();
    for (let i = 0; i < 10000; i++) await session.read(nodes[i % 10000]);
    const sequential = Number(process.hrtime.bigint() - t) / 1e6;
    const sequentialCpuMs = cpuMs(cpuStart);

    const subscription = await session.createSubscription2({ requestedPublishingInterval: 1000, requestedMaxKeepAliveCount: 10, publishingEnabled: true });
    let notifications = 0;
    const group = ClientMonitoredItemGroup.create(subscription, nodes, { samplingInterval: 1000, queueSize: 1, discardOldest: true }, TimestampsToReturn.Both);
    group.on("changed", () => { notifications++; });
    await new Promise((resolve) => setTimeout(resolve, 3000)); // settle
    notifications = 0;
    const cpu0 = process.cpuUsage();
    t = process.hrtime.bigint();
    await new Promise((resolve) => setTimeout(resolve, 5000));
    const seconds = Number(process.hrtime.bigint() - t) / 1e9;
    const cpu = process.cpuUsage(cpu0);
    const result = {
        bulkMs: bulk[4],
        bulkCpuMs,
        sequentialMs: sequential,
        sequentialCpuMs,
        notificationsPerSecond: notifications / seconds,
        cpuPercent: (cpu.user + cpu.system) / 1e4 / seconds,
    };
    await subscription.terminate();
    await session.close();
    await client.disconnect();
    process.stdout.write(JSON.stringify(result) + "\n");
    process.exit(0);
}

main().catch((err) => { process.stderr.write(String(err && err.stack || err) + "\n"); process.exit(1); });
