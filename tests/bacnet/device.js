#!/usr/bin/env node
// A BACnet/IP test device on an independent stack (@bacnet-js/client), for
// Velmora's tests only: it hears through the kernel's UDP socket, so a frame
// whose IP or UDP checksum or length is wrong never reaches it, as with a
// real device. Run it inside a test's network namespace.
//
//   node device.js --config FILE.json [--set ...]
//   node device.js --address 10.0.1.2 --device 1234 [--name N] [--max-apdu 480]
//       [--segmentation none|both|transmit|receive] [--vendor 0]
//       [--object analog-input,1] [--set ...]
//   --set [DEVICE/]TYPE,INSTANCE:PROPERTY=JSON   a value (for every device
//       when DEVICE is left out); "--set 1234/device,1234:object-name=\"B\""
//   --instance OLD=NEW                           the device answers as NEW
//   --broadcast ADDR   also hear broadcasts to ADDR, a subnet's broadcast
//       address (255.255.255.255 is always heard); repeatable
//
// The JSON file: { "broadcasts": ["10.0.1.255"], "devices": [ { "address": "10.0.1.2", "port": 47808,
//   "instance": 1234, "name": "...", "vendor": 0, "maxApdu": 1476,
//   "segmentation": "none", "objects": [ { "type": "analog-input",
//   "instance": 1, "properties": { "present-value": 21.5,
//   "object-name": "Zone 1", "units": { "enumerated": 62 } } } ] } ] }
// Values: a number is a REAL, a string a CharacterString, true/false a
// BOOLEAN, an array a list; { "unsigned": n }, { "signed": n },
// { "enumerated": n }, { "double": x }, { "object": "device,1234" },
// { "null": true } name the type.
//
// It answers Who-Is (limits honoured) with an I-Am to the asker,
// ReadProperty and ReadPropertyMultiple from its object table (unknown
// object: Error object/unknown-object; unknown property: Error
// property/unknown-property), WriteProperty of a known property with a
// SimpleACK (the value is kept). Requests whose NPDU names a remote network
// (a DNET other than the global broadcast) are not for it: it is no router.
// It prints "ready" once every device listens, and at SIGTERM or SIGINT one
// line of counts per device and "answered N" (frames it sent).

'use strict';

const fs = require('fs');
const dgram = require('dgram');
const path = require('path');

let bacnet;
try {
    bacnet = require('@bacnet-js/client');
} catch (e) {
    process.stderr.write(`device.js: the npm package is missing (${e.message})\n`);
    process.exit(3);
}
const Client = bacnet.default;
const { ApplicationTag, ObjectType, PropertyIdentifier, ErrorClass, ErrorCode } = bacnet;
const lib = path.join(path.dirname(require.resolve('@bacnet-js/client')), 'lib');
const baNpdu = require(path.join(lib, 'npdu'));
const baApdu = require(path.join(lib, 'apdu'));
const IAm = require(path.join(lib, 'services', 'IAm')).default;

function die(message) {
    process.stderr.write(`device.js: ${message}\n`);
    process.exit(2);
}

// "analog-input" or 0 -> the enum's number.
function enumValue(table, name, what) {
    if (typeof name === 'number' || /^[0-9]+$/.test(String(name)))
        return Number(name);
    const key = String(name).toUpperCase().replace(/-/g, '_');
    if (!(key in table))
        die(`unknown ${what} ${name}`);
    return table[key];
}

function objectId(text) {
    const [type, instance] = String(text).split(',');
    if (instance === undefined || !/^[0-9]+$/.test(instance))
        die(`bad object ${text} (TYPE,INSTANCE)`);
    return { type: enumValue(ObjectType, type, 'object type'), instance: Number(instance) };
}

const kSegmentation = { both: 0, transmit: 1, receive: 2, none: 3 };

// A JSON value as the stack's application data (a list for arrays).
function appData(v) {
    if (Array.isArray(v))
        return v.map((x) => appData(x)[0]);
    if (typeof v === 'number')
        return [{ type: ApplicationTag.REAL, value: v }];
    if (typeof v === 'string')
        return [{ type: ApplicationTag.CHARACTER_STRING, value: v }];
    if (typeof v === 'boolean')
        return [{ type: ApplicationTag.BOOLEAN, value: v }];
    if (v && typeof v === 'object') {
        if ('unsigned' in v)
            return [{ type: ApplicationTag.UNSIGNED_INTEGER, value: v.unsigned }];
        if ('signed' in v)
            return [{ type: ApplicationTag.SIGNED_INTEGER, value: v.signed }];
        if ('enumerated' in v)
            return [{ type: ApplicationTag.ENUMERATED, value: v.enumerated }];
        if ('double' in v)
            return [{ type: ApplicationTag.DOUBLE, value: v.double }];
        if ('object' in v)
            return [{ type: ApplicationTag.OBJECTIDENTIFIER, value: objectId(v.object) }];
        if ('null' in v)
            return [{ type: ApplicationTag.NULL, value: null }];
    }
    die(`cannot encode value ${JSON.stringify(v)}`);
}

function key(id) {
    return `${id.type},${id.instance}`;
}

// One device: its object table (key -> Map(property -> app data list)).
function makeDevice(described) {
    const d = {
        address: described.address || '0.0.0.0',
        port: described.port || 47808,
        instance: Number(described.instance),
        vendor: described.vendor || 0,
        maxApdu: described.maxApdu || 1476,
        segmentation: kSegmentation[described.segmentation || 'none'],
        objects: new Map(),
        counts: { whoIs: 0, iAm: 0, readProperty: 0, readPropertyMultiple: 0, writeProperty: 0,
            errors: 0, notForMe: 0, heard: 0 },
    };
    if (!Number.isInteger(d.instance) || d.instance < 0 || d.instance > 4194302)
        die(`bad device instance ${described.instance}`);
    if (d.segmentation === undefined)
        die(`bad segmentation ${described.segmentation}`);
    const device = { type: ObjectType.DEVICE, instance: d.instance };
    const objects = [{ type: 'device', instance: d.instance, properties: {} }]
        .concat(described.objects || []);
    for (const o of objects) {
        const id = { type: enumValue(ObjectType, o.type, 'object type'), instance: Number(o.instance) };
        const props = d.objects.get(key(id)) || new Map();
        props.set(PropertyIdentifier.OBJECT_IDENTIFIER,
            [{ type: ApplicationTag.OBJECTIDENTIFIER, value: id }]);
        props.set(PropertyIdentifier.OBJECT_TYPE, [{ type: ApplicationTag.ENUMERATED, value: id.type }]);
        props.set(PropertyIdentifier.OBJECT_NAME, appData(
            id.type === ObjectType.DEVICE ? described.name || `Device ${d.instance}` : `${o.type} ${o.instance}`));
        for (const [name, value] of Object.entries(o.properties || {}))
            props.set(enumValue(PropertyIdentifier, name, 'property'), appData(value));
        d.objects.set(key(id), props);
    }
    const props = d.objects.get(key(device));
    const defaults = [
        [PropertyIdentifier.SYSTEM_STATUS, { enumerated: 0 }],
        [PropertyIdentifier.VENDOR_IDENTIFIER, { unsigned: d.vendor }],
        [PropertyIdentifier.MAX_APDU_LENGTH_ACCEPTED, { unsigned: d.maxApdu }],
        [PropertyIdentifier.SEGMENTATION_SUPPORTED, { enumerated: d.segmentation }],
        [PropertyIdentifier.PROTOCOL_VERSION, { unsigned: 1 }],
        [PropertyIdentifier.PROTOCOL_REVISION, { unsigned: 14 }],
    ];
    for (const [id, value] of defaults)
        if (!props.has(id))
            props.set(id, appData(value));
    refreshObjectList(d);
    return d;
}

function refreshObjectList(d) {
    const list = [...d.objects.values()].map((p) => p.get(PropertyIdentifier.OBJECT_IDENTIFIER)[0]);
    d.objects.get(`${ObjectType.DEVICE},${d.instance}`).set(PropertyIdentifier.OBJECT_LIST, list);
}

// The device's own instance changes: its device object with it.
function renumber(d, instance) {
    const props = d.objects.get(`${ObjectType.DEVICE},${d.instance}`);
    d.objects.delete(`${ObjectType.DEVICE},${d.instance}`);
    d.instance = instance;
    const id = { type: ObjectType.DEVICE, instance };
    props.set(PropertyIdentifier.OBJECT_IDENTIFIER, [{ type: ApplicationTag.OBJECTIDENTIFIER, value: id }]);
    d.objects.set(key(id), props);
    refreshObjectList(d);
}

function parseArgs(argv) {
    const described = [];
    let one = null;
    const sets = [];
    const renames = [];
    const broadcasts = ['255.255.255.255'];
    const need = (i) => {
        if (i + 1 >= argv.length)
            die(`${argv[i]} needs a value`);
        return argv[i + 1];
    };
    for (let i = 0; i < argv.length; i += 2) {
        const a = argv[i];
        const v = need(i);
        if (a === '--config') {
            const json = JSON.parse(fs.readFileSync(v, 'utf8'));
            described.push(...(json.devices || []));
            broadcasts.push(...(json.broadcasts || []));
            continue;
        }
        if (a === '--broadcast') {
            broadcasts.push(v);
            continue;
        }
        if (a === '--set') {
            sets.push(v);
            continue;
        }
        if (a === '--instance') {
            const [from, to] = v.split('=').map(Number);
            renames.push({ from, to });
            continue;
        }
        if (a === '--address') {
            one = { address: v, objects: [] };
            described.push(one);
            continue;
        }
        if (!one)
            die(`${a} comes after --address`);
        if (a === '--device')
            one.instance = Number(v);
        else if (a === '--port')
            one.port = Number(v);
        else if (a === '--name')
            one.name = v;
        else if (a === '--vendor')
            one.vendor = Number(v);
        else if (a === '--max-apdu')
            one.maxApdu = Number(v);
        else if (a === '--segmentation')
            one.segmentation = v;
        else if (a === '--object') {
            const [type, instance] = v.split(',');
            one.objects.push({ type, instance: Number(instance), properties: {} });
        } else
            die(`unknown option ${a}`);
    }
    if (described.length === 0)
        die('usage: device.js --config FILE.json | --address IP --device N [...]');
    const devices = described.map(makeDevice);
    for (const { from, to } of renames)
        for (const d of devices.filter((x) => x.instance === from))
            renumber(d, to);
    for (const s of sets) {
        const m = /^(?:([0-9]+)\/)?([^:]+):([^=]+)=(.*)$/.exec(s);
        if (!m)
            die(`bad --set ${s}`);
        const id = key(objectId(m[2]));
        const prop = enumValue(PropertyIdentifier, m[3], 'property');
        const targets = devices.filter((d) => m[1] === undefined || d.instance === Number(m[1]));
        for (const d of targets) {
            if (!d.objects.has(id))
                d.objects.set(id, new Map([[PropertyIdentifier.OBJECT_IDENTIFIER,
                    [{ type: ApplicationTag.OBJECTIDENTIFIER, value: objectId(m[2]) }]]]));
            d.objects.get(id).set(prop, appData(JSON.parse(m[4])));
            refreshObjectList(d);
        }
    }
    return { devices, broadcasts: [...new Set(broadcasts)] };
}

// The raw datagram, before the stack reads it: a DNET other than 0xffff
// is a remote network, which a device that is no router leaves alone.
function forRemoteNetwork(msg) {
    if (msg.length < 6 || msg[0] !== 0x81)
        return false;
    const npdu = msg[1] === 0x04 ? 10 : 4;
    if (msg.length < npdu + 4 || msg[npdu] !== 0x01 || !(msg[npdu + 1] & 0x20))
        return false;
    return (msg[npdu + 2] << 8 | msg[npdu + 3]) !== 0xffff;
}

const { devices, broadcasts } = parseArgs(process.argv.slice(2));
let answered = 0;
let listening = 0;
let sockets = devices.length; // the devices' and the broadcast sockets
const clients = [];

function listened() {
    if (++listening === sockets)
        process.stdout.write('ready\n');
}

function serve(d) {
    const client = new Client({ interface: d.address, port: d.port, reuseAddr: true,
        broadcastAddress: '255.255.255.255' });
    clients.push(client);
    d.client = client;
    let skip = false;
    const transport = client._transport;
    transport.prependListener('message', (msg, from) => {
        if (process.env.DEVICE_TRACE)
            process.stderr.write(`device ${d.instance} heard ${from}: ${msg.toString('hex')}\n`);
        ++d.counts.heard;
        skip = forRemoteNetwork(msg);
        if (skip)
            ++d.counts.notForMe;
    });
    const send = (fn) => {
        if (skip)
            return;
        fn();
        ++answered;
    };
    const sender = (content) => content.header.sender;
    const error = (content, service, cls, code) => {
        ++d.counts.errors;
        send(() => client.errorResponse(sender(content), service, content.invokeId, cls, code));
    };

    client.on('whoIs', (content) => {
        ++d.counts.whoIs;
        const low = content.payload.lowLimit;
        const high = content.payload.highLimit;
        if (low !== undefined && high !== undefined && (d.instance < low || d.instance > high))
            return;
        if (skip)
            return;
        // The stack's own I-Am names its buffer size; ours names the device's.
        const receiver = sender(content);
        const buffer = { buffer: Buffer.alloc(1482), offset: 4 };
        baNpdu.encode(buffer, bacnet.NpduControlPriority.NORMAL_MESSAGE, receiver);
        baApdu.encodeUnconfirmedServiceRequest(buffer, bacnet.PduType.UNCONFIRMED_REQUEST,
            bacnet.UnconfirmedServiceChoice.I_AM);
        IAm.encode(buffer, d.instance, d.maxApdu, d.segmentation, d.vendor);
        ++d.counts.iAm;
        send(() => client.sendBvlc(receiver, buffer));
    });

    const read = (id, prop, index) => {
        const props = d.objects.get(key(id));
        if (!props)
            return { error: [ErrorClass.OBJECT, ErrorCode.UNKNOWN_OBJECT] };
        const value = props.get(prop);
        if (!value)
            return { error: [ErrorClass.PROPERTY, ErrorCode.UNKNOWN_PROPERTY] };
        if (index === undefined || index === bacnet.ASN1_ARRAY_ALL)
            return { value };
        if (index === 0)
            return { value: [{ type: ApplicationTag.UNSIGNED_INTEGER, value: value.length }] };
        if (index > value.length)
            return { error: [ErrorClass.PROPERTY, ErrorCode.INVALID_ARRAY_INDEX] };
        return { value: [value[index - 1]] };
    };

    client.on('readProperty', (content) => {
        ++d.counts.readProperty;
        const { objectId: id, property } = content.payload;
        const r = read(id, property.id, property.index);
        if (r.error)
            return error(content, bacnet.ConfirmedServiceChoice.READ_PROPERTY, ...r.error);
        send(() => client.readPropertyResponse(sender(content), content.invokeId, id, property, r.value));
    });

    client.on('readPropertyMultiple', (content) => {
        ++d.counts.readPropertyMultiple;
        const results = content.payload.properties.map((described) => {
            const props = d.objects.get(key(described.objectId));
            let list = described.properties;
            const all = [PropertyIdentifier.ALL, PropertyIdentifier.REQUIRED, PropertyIdentifier.OPTIONAL];
            if (props && list.length === 1 && all.includes(list[0].id))
                list = [...props.keys()].map((id) => ({ id, index: bacnet.ASN1_ARRAY_ALL }));
            return {
                objectId: described.objectId,
                values: list.map((p) => {
                    const r = read(described.objectId, p.id, p.index);
                    if (r.error)
                        return { property: p, value: [{ value: { type: 'BacnetError',
                            errorClass: r.error[0], errorCode: r.error[1] } }] };
                    return { property: p, value: r.value };
                }),
            };
        });
        send(() => client.readPropertyMultipleResponse(sender(content), content.invokeId, results));
    });

    client.on('writeProperty', (content) => {
        ++d.counts.writeProperty;
        const { objectId: id, value } = content.payload;
        const props = d.objects.get(key(id));
        const service = bacnet.ConfirmedServiceChoice.WRITE_PROPERTY;
        if (!props)
            return error(content, service, ErrorClass.OBJECT, ErrorCode.UNKNOWN_OBJECT);
        if (!props.has(value.property.id))
            return error(content, service, ErrorClass.PROPERTY, ErrorCode.UNKNOWN_PROPERTY);
        props.set(value.property.id, value.value.map((v) => ({ type: v.type, value: v.value })));
        send(() => client.simpleAckResponse(sender(content), service, content.invokeId));
    });

    client.on('error', (e) => {
        process.stderr.write(`device.js: device ${d.instance} at ${d.address}: ${e.message}\n`);
        process.exit(1);
    });
    client.on('listening', listened);
}

// Sockets bound to one address hear no broadcasts: a socket bound to each
// broadcast address hands them to every device bound to an address. (One on
// the wildcard address would take their unicasts too.)
function serveBroadcasts() {
    const bound = devices.filter((d) => d.address !== '0.0.0.0');
    const ports = [...new Set(bound.map((d) => d.port))];
    for (const port of ports) {
        for (const address of broadcasts) {
            const socket = dgram.createSocket({ type: 'udp4', reuseAddr: true });
            socket.on('message', (msg, rinfo) => {
                const from = rinfo.address + (rinfo.port === 47808 ? '' : `:${rinfo.port}`);
                for (const d of bound)
                    if (d.port === port)
                        d.client._transport.emit('message', msg, from);
            });
            socket.on('error', (e) => die(`broadcast socket ${address}: ${e.message}`));
            socket.on('listening', listened);
            ++sockets;
            socket.bind(port, address);
            clients.push({ close: () => socket.close() });
        }
    }
}

devices.forEach(serve);
serveBroadcasts();

function stop() {
    for (const d of devices) {
        const c = d.counts;
        process.stdout.write(`device ${d.instance} at ${d.address}: heard ${c.heard}, who-is ${c.whoIs}, `
            + `i-am ${c.iAm}, read-property ${c.readProperty}, read-property-multiple `
            + `${c.readPropertyMultiple}, write-property ${c.writeProperty}, errors ${c.errors}, `
            + `not for it ${c.notForMe}\n`);
    }
    process.stdout.write(`answered ${answered}\n`);
    for (const c of clients)
        c.close();
    process.exit(0);
}
process.on('SIGTERM', stop);
process.on('SIGINT', stop);
