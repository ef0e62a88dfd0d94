'use strict';
// A BACnet client of an independent stack, for Velmora's serving tests only:
// asks the served device what an integrator's head-end would ask and prints
// one JSON line per step on standard output.
//
//   node client.js --ip OWN_IP --port OWN_PORT --target IP --broadcast ADDR
//
// Steps: whois, read-rpm-only, rpm-all, unknown-object, segmented (object-list
// with max APDU 206 answered in windows of the server's proposal), write-read,
// silent (a raw request whose segments are never acknowledged).

const dgram = require('dgram');
const Bacnet = require('@bacnet-js/client').default;

function arg(name, fallback) {
    const i = process.argv.indexOf('--' + name);
    return i > 0 && i + 1 < process.argv.length ? process.argv[i + 1] : fallback;
}

const ownIp = arg('ip', '10.9.0.1');
const ownPort = Number(arg('port', '47809'));
const target = arg('target', '10.9.0.2');
const broadcast = arg('broadcast', '10.9.0.255');
const device = Number(arg('device', '1234'));

function print(o) {
    process.stdout.write(JSON.stringify(o) + '\n');
}

function plain(values) {
    return values.map((v) => (typeof v.value === 'object' && v.value !== null && 'instance' in v.value
        ? { type: v.value.type, instance: v.value.instance } : v.value));
}

async function step(name, fn) {
    try {
        print(Object.assign({ step: name }, await fn()));
    } catch (e) {
        print({ step: name, error: String(e && e.message ? e.message : e) });
    }
}

// A confirmed request over a raw socket, its answers kept for ms.
function silent(ms) {
    return new Promise((resolve, reject) => {
        const s = dgram.createSocket('udp4');
        const heard = [];
        s.on('message', (m) => heard.push({ t: Date.now(), hex: m.toString('hex') }));
        s.on('error', reject);
        s.bind(ownPort + 1, ownIp, () => {
            // ReadProperty device,N object-list; segments accepted, max APDU 206, invoke 77.
            const inst = device;
            const oid = (8 << 22) | inst;
            const body = [0x01, 0x04, 0x02, 0x72, 77, 0x0c, 0x0c,
                (oid >>> 24) & 0xff, (oid >>> 16) & 0xff, (oid >>> 8) & 0xff, oid & 0xff, 0x19, 0x4c];
            const msg = Buffer.from([0x81, 0x0a, 0, 4 + body.length].concat(body));
            const start = Date.now();
            s.send(msg, 47808, target, () => {
                setTimeout(() => {
                    s.close();
                    resolve(heard.map((h) => ({ ms: h.t - start, hex: h.hex })));
                }, ms);
            });
        });
    });
}

async function main() {
    const client = new Bacnet({ port: ownPort, interface: ownIp, broadcastAddress: broadcast,
        apduTimeout: 3000 });
    client.on('error', (e) => print({ step: 'transport', error: String(e.message || e) }));
    await new Promise((r) => setTimeout(r, 200));
    const addr = { address: target };

    await step('whois', () => new Promise((resolve) => {
        const devices = [];
        const onIAm = (c) => devices.push({ address: c.header.sender.address,
            deviceId: c.payload.deviceId, maxApdu: c.payload.maxApdu,
            segmentation: c.payload.segmentation, vendorId: c.payload.vendorId });
        client.on('iAm', onIAm);
        client.whoIs();
        setTimeout(() => {
            client.removeListener('iAm', onIAm);
            resolve({ devices });
        }, 700);
    }));
    await step('read-rpm-only', async () => {
        const r = await client.readProperty(addr, { type: 0, instance: 1 }, 28);
        return { values: plain(r.values) };
    });
    await step('rpm-all', async () => {
        const r = await client.readPropertyMultiple(addr,
            [{ objectId: { type: 0, instance: 1 }, properties: [{ id: 8 }] }]);
        const o = r.values[0];
        return { objectId: o.objectId, properties: o.values.map((p) => ({ id: p.id,
            value: plain(p.value) })) };
    });
    await step('unknown-object', async () => {
        const r = await client.readProperty(addr, { type: 0, instance: 42 }, 85);
        return { values: plain(r.values) };
    });
    await step('segmented', async () => {
        const r = await client.readProperty(addr, { type: 8, instance: device }, 76,
            { maxApdu: 2 });
        const v = plain(r.values);
        return { count: v.length, first: v[0], last: v[v.length - 1] };
    });
    await step('write-read', async () => {
        await client.writeProperty(addr, { type: 0, instance: 1 }, 85,
            [{ type: 4, value: 30.5 }], { priority: 8 });
        const r = await client.readProperty(addr, { type: 0, instance: 1 }, 85);
        return { values: plain(r.values) };
    });
    client.close();
    await step('silent', async () => ({ heard: await silent(Number(arg('silent-ms', '1500'))) }));
}

main().then(() => process.exit(0), (e) => {
    print({ step: 'main', error: String(e) });
    process.exit(1);
});
