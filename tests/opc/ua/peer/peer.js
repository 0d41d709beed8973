// SPDX-License-Identifier: GPL-3.0-or-later
// The OPC UA server the bridge is tested against: node-opcua with its
// conformance-testing address space, a folder of 10,000 Doubles and one
// user. Prints "ready <port>" once it listens.
//   node peer.js <port> <pki-folder>
// Each session made and each login tried is told on standard output.
// Its own types (types.xml, with types.bsd as their dictionary) and a
// folder "Types" of variables holding them, writable, unless PEER_LIGHT.
// Every policy and mode is offered: None, Basic256Sha256,
// Aes128_Sha256_RsaOaep and Aes256_Sha256_RsaPss, Sign and SignAndEncrypt.
// PEER_SESSION_TIMEOUT_MS caps the session timeout it grants. A line
// "close-sessions" on standard input closes every session, as a server
// does at its own timeout, and answers "closed <count>".
"use strict";
const fs = require("fs");
const os = require("os");
const path = require("path");
const {
    OPCUAServer, OPCUACertificateManager, SecurityPolicy, MessageSecurityMode, nodesets, DataType, DataValue, Variant, StatusCodes, standardUnits,
    VariantArrayType, AttributeIds, coerceNodeId,
} = require("node-opcua");
const { OpaqueStructure } = require("node-opcua-extension-object");
const { StructureType } = require("node-opcua-types");
const { ensureDatatypeExtracted } = require("node-opcua-address-space");
const { build_address_space_for_conformance_testing } = require("node-opcua-address-space-for-conformance-testing");

const port = parseInt(process.argv[2] || "4840", 10);
const pki = process.argv[3] || path.join(__dirname, "pki");

async function main() {
    // Strict, as a plant server: a client certificate is refused until it
    // lies in <pki>/server/trusted/certs (PEER_TRUST_ALL=1 accepts any).
    const serverCertificateManager = new OPCUACertificateManager({
        rootFolder: path.join(pki, "server"),
        automaticallyAcceptUnknownCertificate: process.env.PEER_TRUST_ALL === "1",
    });
    // PEER_CERT and PEER_KEY (PEM) give the server the certificate a test
    // made for it: its key size, dates and names.
    const own = process.env.PEER_CERT ? { certificateFile: process.env.PEER_CERT, privateKeyFile: process.env.PEER_KEY } : {};
    // PEER_POLICIES (comma-separated short names) narrows what is offered.
    const policies = (process.env.PEER_POLICIES || "None,Basic256Sha256,Aes128_Sha256_RsaOaep,Aes256_Sha256_RsaPss")
        .split(",").map((name) => SecurityPolicy[name]);
    // PEER_CLEAR_PASSWORD=1: the open endpoint takes the password
    // unencrypted too, and says so first, as servers that allow it do.
    if (process.env.PEER_CLEAR_PASSWORD === "1") {
        const { OPCUAServerEndPoint } = require("node-opcua-server");
        const add = OPCUAServerEndPoint.prototype.addStandardEndpointDescriptions;
        OPCUAServerEndPoint.prototype.addStandardEndpointDescriptions = function (options) {
            return add.call(this, { ...options, allowUnsecurePassword: true });
        };
    }
    const light = process.env.PEER_LIGHT === "1";
    const typesFile = path.join(os.tmpdir(), `quorivo-peer-types-${process.pid}.xml`);
    // The conformance nodes keep the index they had before the types came
    // (ns=2): their namespace is named first, and filled later.
    const firstFile = path.join(os.tmpdir(), `quorivo-peer-first-${process.pid}.xml`);
    if (!light) {
        fs.writeFileSync(firstFile, '<?xml version="1.0" encoding="utf-8"?>\n<UANodeSet xmlns="http://opcfoundation.org/UA/2011/03/UANodeSet.xsd">' +
            "<NamespaceUris><Uri>urn://node-opcua-simulator</Uri></NamespaceUris></UANodeSet>\n");
        const dictionary = fs.readFileSync(path.join(__dirname, "types.bsd")).toString("base64");
        fs.writeFileSync(typesFile, fs.readFileSync(path.join(__dirname, "types.xml"), "utf8").replace("{{DICTIONARY}}", dictionary));
    }
    const server = new OPCUAServer({
        ...own,
        nodeset_filename: light ? [nodesets.standard] : [nodesets.standard, firstFile, typesFile],
        securityPolicies: policies,
        // PEER_RESOURCE_PATH puts the endpoints at a path ("/UA/Quorivo").
        ...(process.env.PEER_RESOURCE_PATH ? { resourcePath: process.env.PEER_RESOURCE_PATH } : {}),
        securityModes: (policies.includes(SecurityPolicy.None) ? [MessageSecurityMode.None] : [])
            .concat(policies.some((p) => p !== SecurityPolicy.None) ? [MessageSecurityMode.Sign, MessageSecurityMode.SignAndEncrypt] : []),
        port,
        hostname: "127.0.0.1",
        serverCertificateManager,
        allowAnonymous: true,
        // Few, as in small embedded servers: a client that does not give
        // its continuation points back soon finds browsing refused.
        serverCapabilities: { maxBrowseContinuationPoints: 10 },
        userManager: {
            // Each attempt is told on stdout, never with its password.
            isValidUser: (user, password) => {
                const ok = user === "operator" && password === "s3cret";
                process.stdout.write(`login ${ok ? "accepted" : "refused"} ${user}\n`);
                return ok;
            },
        },
        buildInfo: { productName: "QuorivoPeer", manufacturerName: "node-opcua", softwareVersion: "2.182.2", buildNumber: "7" },
        serverInfo: { applicationUri: "urn:quorivo:peer", productUri: "urn:quorivo:peer", applicationName: { text: "QuorivoPeer" } },
    });
    await server.initialize();
    if (!light) {
        fs.unlinkSync(typesFile);
        fs.unlinkSync(firstFile);
    }
    const addressSpace = server.engine.addressSpace;
    // PEER_LIGHT=1 leaves out the conformance nodes and the 10,000 Doubles:
    // a peer for tests of connecting alone starts in a fraction of the time.
    if (!light)
        await build_address_space_for_conformance_testing(addressSpace, { mass_variables: false });
    const namespace = addressSpace.getOwnNamespace();
    const mass = namespace.addFolder(addressSpace.rootFolder.objects, { browseName: "Mass", nodeId: "s=Mass" });
    const values = new Float64Array(10000);
    for (let i = 0; i < (light ? 0 : 10000); i++) {
        namespace.addVariable({
            organizedBy: mass,
            browseName: `D${i}`,
            nodeId: `s=Mass.D${i}`,
            dataType: "Double",
            value: { get: () => new Variant({ dataType: DataType.Double, value: values[i] }) },
        });
    }
    // Two items under the names the automation contract uses.
    const contract = namespace.addFolder(addressSpace.rootFolder.objects, { browseName: "Quorivo", nodeId: "s=Quorivo" });
    namespace.addVariable({ organizedBy: contract, browseName: "Random.Int4", nodeId: "s=Random.Int4", dataType: "Int32",
        accessLevel: "CurrentRead", userAccessLevel: "CurrentRead", value: { get: () => new Variant({ dataType: DataType.Int32, value: (Math.random() * 1000) | 0 }) } });
    // Sampled as fast as a group asks (node-opcua samples getters once a
    // second unless told otherwise).
    namespace.addVariable({ organizedBy: contract, browseName: "Waves.Sine.Real8", nodeId: "s=Waves.Sine.Real8", dataType: "Double",
        minimumSamplingInterval: 50,
        value: { get: () => new Variant({ dataType: DataType.Double, value: Math.sin(Date.now() / 1000) }) } });
    // The registers, faults and qualities of the automation contract, as
    // a UA server would have them (no Currency here, and no "last known").
    const registers = { Int1: "SByte", Int2: "Int16", Int4: "Int32", Int8: "Int64", UInt1: "Byte", UInt2: "UInt16",
        UInt4: "UInt32", UInt8: "UInt64", Real4: "Float", Real8: "Double", String: "String", Boolean: "Boolean",
        Time: "DateTime" };
    const initial = { String: "", Boolean: false, DateTime: new Date(0), Int64: [0, 0], UInt64: [0, 0] };
    for (const [name, dataType] of Object.entries(registers)) {
        namespace.addVariable({ organizedBy: contract, browseName: `Registers.${name}`, nodeId: `s=Registers.${name}`,
            dataType, accessLevel: "CurrentRead | CurrentWrite", userAccessLevel: "CurrentRead | CurrentWrite",
            value: new Variant({ dataType: DataType[dataType], arrayType: 0, value: dataType in initial ? initial[dataType] : 0 }) });
    }
    namespace.addVariable({ organizedBy: contract, browseName: "Registers.ArrayOfInt4", nodeId: "s=Registers.ArrayOfInt4",
        dataType: "Int32", valueRank: 1, arrayDimensions: [0], accessLevel: "CurrentRead | CurrentWrite",
        userAccessLevel: "CurrentRead | CurrentWrite", value: new Variant({ dataType: DataType.Int32, arrayType: 1, value: [] }) });
    const fault = (name, options) => namespace.addVariable({ organizedBy: contract, browseName: `Faults.${name}`,
        nodeId: `s=Faults.${name}`, dataType: "Int32", ...options });
    fault("ReadOnly", { accessLevel: "CurrentRead", userAccessLevel: "CurrentRead", value: new Variant({ dataType: DataType.Int32, value: 1 }) });
    fault("WriteOnly", { accessLevel: "CurrentWrite", userAccessLevel: "CurrentWrite", value: new Variant({ dataType: DataType.Int32, value: 1 }) });
    fault("WriteError", { accessLevel: "CurrentRead | CurrentWrite", userAccessLevel: "CurrentRead | CurrentWrite",
        value: { get: () => new Variant({ dataType: DataType.Int32, value: 1 }), set: () => StatusCodes.BadInternalError } });
    const qualities = { Good: StatusCodes.Good, LocalOverride: StatusCodes.GoodLocalOverride, Uncertain: StatusCodes.Uncertain,
        LastUsable: StatusCodes.UncertainLastUsableValue, SensorNotAccurate: StatusCodes.UncertainSensorNotAccurate,
        EUExceeded: StatusCodes.UncertainEngineeringUnitsExceeded, SubNormal: StatusCodes.UncertainSubNormal,
        Bad: StatusCodes.Bad, ConfigError: StatusCodes.BadConfigurationError, NotConnected: StatusCodes.BadNotConnected,
        DeviceFailure: StatusCodes.BadDeviceFailure, SensorFailure: StatusCodes.BadSensorFailure,
        CommFailure: StatusCodes.BadNoCommunication, OutOfService: StatusCodes.BadOutOfService,
        WaitingForInitialData: StatusCodes.BadWaitingForInitialData, OtherGood: StatusCodes.GoodClamped,
        OtherUncertain: StatusCodes.UncertainInitialValue, OtherBad: StatusCodes.BadInternalError };
    for (const [name, statusCode] of Object.entries(qualities)) {
        namespace.addVariable({ organizedBy: contract, browseName: `Qualities.${name}`, nodeId: `s=Qualities.${name}`,
            dataType: "Int32", value: { timestamped_get: () => new DataValue({ value: { dataType: DataType.Int32, value: 5 },
                statusCode, sourceTimestamp: new Date(), serverTimestamp: new Date() }) } });
    }
    // The plant of the automation contract's browsing, as objects.
    const plant = namespace.addFolder(addressSpace.rootFolder.objects, { browseName: "Plant", nodeId: "s=Plant" });
    const area = namespace.addObject({ organizedBy: plant, browseName: "Area1", nodeId: "s=Plant.Area1" });
    const line = namespace.addObject({ componentOf: area, browseName: "Line1", nodeId: "s=Plant.Area1.Line1" });
    const plantObject = (parent, name) => namespace.addObject({ componentOf: parent, browseName: name, nodeId: `s=${parent.nodeId.value}.${name}` });
    const plantValue = (parent, name, dataType, value) => namespace.addVariable({ componentOf: parent, browseName: name,
        nodeId: `s=${parent.nodeId.value}.${name}`, dataType, value: new Variant({ dataType: DataType[dataType], value }) });
    const tank = plantObject(line, "Tank1");
    plantValue(tank, "Level", "Double", 42.5);
    plantValue(tank, "Temperature", "Double", 21);
    plantValue(plantObject(line, "Pump1"), "Running", "Boolean", true);
    // 30 analog variables with properties: variables that are branches,
    // more of them than the server keeps continuation points.
    const analog = namespace.addFolder(contract, { browseName: "Analog", nodeId: "s=Analog" });
    for (let i = 0; i < 30; i++) {
        namespace.addAnalogDataItem({
            organizedBy: analog, browseName: `A${i}`, nodeId: `s=Analog.A${i}`, dataType: "Double",
            engineeringUnitsRange: { low: 0, high: 100 }, instrumentRange: { low: -10, high: 110 },
            engineeringUnits: standardUnits.percent, value: new Variant({ dataType: DataType.Double, value: i }),
        });
    }
    if (!light)
        await addTypes(addressSpace, namespace, contract);
    // Every value changes once a second.
    setInterval(() => { for (let i = 0; i < values.length; i++) values[i] += 1; }, 1000);
    // Each session made is told on stdout.
    const sessionTimeout = parseInt(process.env.PEER_SESSION_TIMEOUT_MS || "0", 10);
    const createSession = server._on_CreateSessionRequest.bind(server);
    server._on_CreateSessionRequest = (message, channel) => {
        if (sessionTimeout > 0) {
            const asked = message.request.requestedSessionTimeout || sessionTimeout;
            message.request.requestedSessionTimeout = Math.min(asked, sessionTimeout);
        }
        // With the channel's policy and mode: "session created Basic256Sha256 SignAndEncrypt".
        const policy = String(channel.securityPolicy || "").split("#").pop();
        process.stdout.write(`session created ${policy} ${MessageSecurityMode[channel.securityMode]}\n`);
        return createSession(message, channel);
    };
    // Each subscription made or modified is told, with its interval:
    // "create-subscription 100", "modify-subscription 250".
    // PEER_MODIFY_SUBSCRIPTION=refuse answers ModifySubscription with
    // BadUserAccessDenied (as servers that allow it to no anonymous session),
    // =stale with the interval it granted at creation, modifying nothing.
    const { ModifySubscriptionResponse } = require("node-opcua-service-subscription");
    const createSubscription = server._on_CreateSubscriptionRequest.bind(server);
    server._on_CreateSubscriptionRequest = (message, channel) => {
        process.stdout.write(`create-subscription ${message.request.requestedPublishingInterval}\n`);
        return createSubscription(message, channel);
    };
    const modifySubscription = server._on_ModifySubscriptionRequest.bind(server);
    server._on_ModifySubscriptionRequest = (message, channel) => {
        process.stdout.write(`modify-subscription ${message.request.requestedPublishingInterval}\n`);
        const behaviour = process.env.PEER_MODIFY_SUBSCRIPTION;
        if (!behaviour)
            return modifySubscription(message, channel);
        server._apply_on_Subscription(ModifySubscriptionResponse, message, channel, async (_session, subscription, sendResponse, sendError) => {
            if (behaviour === "refuse")
                return sendError(StatusCodes.BadUserAccessDenied);
            sendResponse(new ModifySubscriptionResponse({
                revisedLifetimeCount: subscription.lifeTimeCount,
                revisedMaxKeepAliveCount: subscription.maxKeepAliveCount,
                revisedPublishingInterval: subscription.publishingInterval,
            }));
        });
    };
    // Each write is told: "write ns=1;s=Types.Point". Bodies node-opcua
    // cannot read are kept as the bytes they came in.
    const write = server._on_WriteRequest.bind(server);
    server._on_WriteRequest = (message, channel) => {
        for (const w of message.request.nodesToWrite || []) {
            process.stdout.write(`write ${w.nodeId.toString()}\n`);
            const v = w.value && w.value.value;
            if (v && v.value instanceof OpaqueStructure && !(v.value instanceof Raw))
                v.value = new Raw(v.value.nodeId, v.value.buffer);
        }
        return write(message, channel);
    };
    let input = "";
    process.stdin.on("data", (chunk) => {
        input += chunk;
        let end;
        while ((end = input.indexOf("\n")) >= 0) {
            const command = input.slice(0, end).trim();
            input = input.slice(end + 1);
            if (command.startsWith("value ")) {
                // What a variable holds now, as node-opcua reads it.
                const node = server.engine.addressSpace.findNode(command.slice(6));
                const dv = node && node.readValue();
                // Bodies it keeps as bytes are told in hex.
                const v = dv && dv.value;
                const raw = v && (Array.isArray(v.value) ? v.value : [v.value]).filter((e) => e instanceof OpaqueStructure);
                process.stdout.write(`value ${!v ? "none" : raw.length ? raw.map((e) => e.buffer.toString("hex")).join(",")
                    : JSON.stringify(v.toJSON ? v.toJSON() : v)}\n`);
            } else if (command === "close-sessions") {
                const sessions = Object.values(server.engine._sessions);
                for (const session of sessions)
                    server.engine.closeSession(session.authenticationToken, true, "Forcing");
                process.stdout.write(`closed ${sessions.length}\n`);
            }
        }
    });
    await server.start();
    process.stdout.write(`ready ${port}\n`);
    const stop = async () => { await server.shutdown(0); process.exit(0); };
    process.on("SIGTERM", stop);
    process.on("SIGINT", stop);
}

// Bytes of a structure, kept as they are (node-opcua's own copy of them
// would lose them).
// node-opcua copies a structure by handing it to its constructor.
class Raw extends OpaqueStructure {
    constructor(nodeId, buffer) {
        if (nodeId instanceof Raw)
            super(nodeId.nodeId, Buffer.from(nodeId.buffer));
        else
            super(nodeId, buffer);
    }
    clone() { return new Raw(this); }
}

// A variable of each kind of value a plant holds, under Quorivo/Types.
async function addTypes(addressSpace, namespace, parent) {
    const types = addressSpace.getNamespaceIndex("urn:quorivo:types");
    const type = (id) => addressSpace.findNode(`ns=${types};i=${id}`);
    const folder = namespace.addFolder(parent, { browseName: "Types", nodeId: "s=Types" });
    const variable = (name, dataType, value, extra = {}) => namespace.addVariable({ organizedBy: folder, browseName: name,
        nodeId: `s=Types.${name}`, dataType, accessLevel: "CurrentRead | CurrentWrite", userAccessLevel: "CurrentRead | CurrentWrite",
        value, ...extra });
    const structure = (id, fields) => addressSpace.constructExtensionObject(type(id), fields);
    const ext = (value) => new Variant({ dataType: DataType.ExtensionObject, value });
    // Bodies node-opcua cannot make itself (bit fields, subtyped values, and
    // unions, which it encodes without their switch) go as bytes, in
    // variables of the abstract Structure: the value's encoding tells its
    // type, as in a server's variables of any structure.
    const raw = (encoding, hex) => new Raw(coerceNodeId(`ns=${types};i=${encoding}`), Buffer.from(hex, "hex"));
    const point = "07000000" + "0000000000000440" + "03000000616263";
    variable("Point", type(3001), ext(structure(3001, { x: 7, y: 2.5, name: "abc" })));
    variable("Outer", type(3003), ext(structure(3003, { x: 1, inner: { a: 2, b: true }, values: [1.5, 2.5] })));
    variable("Optional", type(3004), ext(structure(3004, { id: 5, level: 1.5 })));
    variable("Choice", "Structure", ext(raw(5005, "02000000" + "02000000" + "6f6e")));
    variable("Legacy", "Structure", ext(raw(5007, "0b" + "0c00" + "030000006f6c64")));
    variable("Modern", type(3008), ext(structure(3008, { stamp: new Date(Date.UTC(2026, 0, 2, 3, 4, 5)), ratio: 0.5 })));
    const encodedPoint = Buffer.alloc(4);
    encodedPoint.writeUInt8(1, 0); encodedPoint.writeUInt8(types, 1); encodedPoint.writeUInt16LE(5001, 2);
    variable("Holder", "Structure", ext(raw(5009, encodedPoint.toString("hex") + "01" + "13000000" + point)));
    variable("State", type(3006), new Variant({ dataType: DataType.Int32, value: 1 }));
    variable("Percent", type(3010), new Variant({ dataType: DataType.Double, value: 42.5 }));
    variable("Permissions", type(3011), new Variant({ dataType: DataType.UInt32, value: 5 }));
    variable("Matrix", "Double", new Variant({ dataType: DataType.Double, arrayType: VariantArrayType.Matrix, dimensions: [2, 3],
        value: new Float64Array([1, 2, 3, 4, 5, 6]) }), { valueRank: 2, arrayDimensions: [2, 3] });
    variable("Points", type(3001), new Variant({ dataType: DataType.ExtensionObject, arrayType: VariantArrayType.Array,
        value: [structure(3001, { x: 1, y: 2, name: "a" }), structure(3001, { x: 3, y: 4, name: "b" })] }),
        { valueRank: 1, arrayDimensions: [0] });
    variable("Guid", "Guid", new Variant({ dataType: DataType.Guid, value: "72962B91-FA75-4AE6-8D28-B404DC7DAF63" }));
    variable("ByteString", "ByteString", new Variant({ dataType: DataType.ByteString, value: Buffer.from([1, 2, 3]) }));
    variable("XmlElement", "XmlElement", new Variant({ dataType: DataType.XmlElement, value: "<a>1</a>" }));
    variable("NodeId", "NodeId", new Variant({ dataType: DataType.NodeId, value: coerceNodeId("ns=1;s=Mass") }));
    variable("ExpandedNodeId", "ExpandedNodeId", new Variant({ dataType: DataType.ExpandedNodeId,
        value: coerceNodeId("ns=1;s=Plant") }));
    variable("StatusCode", "StatusCode", new Variant({ dataType: DataType.StatusCode, value: StatusCodes.BadTimeout }));
    variable("QualifiedName", "QualifiedName", new Variant({ dataType: DataType.QualifiedName,
        value: { namespaceIndex: 1, name: "Pump" } }));
    variable("LocalizedText", "LocalizedText", new Variant({ dataType: DataType.LocalizedText, value: { locale: "de", text: "Pumpe" } }));
    // Nor are they read on a write: kept as bytes, they go back as bytes.
    const raws = new Set([5005, 5007, 5009].map((i) => `ns=${types};i=${i}`));
    const manager = await ensureDatatypeExtracted(addressSpace);
    const constructorOf = manager.getExtensionObjectConstructorFromBinaryEncodingAsync.bind(manager);
    manager.getExtensionObjectConstructorFromBinaryEncodingAsync = async (encoding) => {
        if (raws.has(encoding.toString()))
            throw new Error("kept as bytes");
        return constructorOf(encoding);
    };
    // node-opcua reads IsUnion from no NodeSet: the union's definition says
    // so as a server's would.
    const choice = type(3005);
    const readChoice = choice.readAttribute.bind(choice);
    choice.readAttribute = (context, attributeId, ...rest) => {
        const dv = readChoice(context, attributeId, ...rest);
        if (attributeId === AttributeIds.DataTypeDefinition && dv.value && dv.value.value)
            dv.value.value.structureType = StructureType.Union;
        return dv;
    };
    // A PLC whose dictionary alone describes a type (CODESYS, older S7
    // firmware): no DataTypeDefinition for it.
    const legacy = type(3007);
    const readAttribute = legacy.readAttribute.bind(legacy);
    legacy.readAttribute = (context, attributeId, ...rest) => attributeId === AttributeIds.DataTypeDefinition
        ? new DataValue({ statusCode: StatusCodes.BadAttributeIdInvalid }) : readAttribute(context, attributeId, ...rest);
}

main().catch((err) => { process.stderr.write(String(err && err.stack || err) + "\n"); process.exit(1); });
