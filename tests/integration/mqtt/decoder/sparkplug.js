// The tests' independent Sparkplug B codec, npm's sparkplug-payload:
//   node sparkplug.js decode FILE   FILE holds "TOPIC<TAB>HEX" lines; for each it prints
//       M<TAB>topic<TAB>seq<TAB>timestamp            (then, for each metric)
//       m<TAB>name<TAB>alias<TAB>type<TAB>value<TAB>isNull<TAB>isHistorical<TAB>timestamp<TAB>field<TAB>raw
//     with "-" for what the payload leaves out and the value as JSON, or
//     (field, raw) the member of the value oneof the bytes carried (intValue,
//     longValue, ...) and its content as protobufjs read it, for the types
//     whose field sparkplug-payload reads another way than the sender wrote;
//       E<TAB>topic<TAB>error                        when it does not decode
//   node sparkplug.js encode JSON   prints the hex of the payload JSON describes
// 64-bit values print as decimal strings, so that nothing is rounded.
'use strict';
const fs = require('fs');
const Long = require('long');
const sparkplug = require('sparkplug-payload').get('spBv1.0');
const protobuf = require('protobufjs/minimal');

// The package's own generated Payload type, found wherever its namespace puts it.
function findPayload(node, depth) {
    for (const [key, child] of Object.entries(node || {})) {
        if (key === 'Payload' && typeof child === 'function') {
            return child;
        }
        const found = depth < 8 && typeof child === 'object' ? findPayload(child, depth + 1) : null;
        if (found) {
            return found;
        }
    }
    return null;
}
const RawPayload = findPayload(protobuf.roots['default'], 0);

function plain(value) {
    if (Long.isLong(value)) {
        return value.toString();
    }
    if (Array.isArray(value)) {
        return value.map(plain);
    }
    if (value !== null && typeof value === 'object' && !(value instanceof Uint8Array)) {
        const out = {};
        for (const key of Object.keys(value)) {
            out[key] = plain(value[key]);
        }
        return out;
    }
    return value;
}

const [mode, arg] = process.argv.slice(2);
if (mode === 'decode') {
    for (const line of fs.readFileSync(arg, 'utf8').split('\n')) {
        if (line === '') {
            continue;
        }
        const tab = line.indexOf('\t');
        const topic = line.slice(0, tab);
        const bytes = Buffer.from(line.slice(tab + 1), 'hex');
        let payload;
        let raw;
        try {
            payload = plain(sparkplug.decodePayload(bytes));
            raw = RawPayload.decode(bytes);
        } catch (e) {
            process.stdout.write(['E', topic, String(e)].join('\t') + '\n');
            continue;
        }
        const or = (v) => (v === undefined ? '-' : String(v));
        process.stdout.write(['M', topic, or(payload.seq), or(payload.timestamp)].join('\t') + '\n');
        (payload.metrics || []).forEach((m, i) => {
            const field = raw.metrics[i].value;
            process.stdout.write(['m', or(m.name), or(m.alias), or(m.type),
                                  m.value === undefined ? '-' : JSON.stringify(m.value),
                                  m.value === null ? 'true' : 'false', or(m.isHistorical), or(m.timestamp),
                                  or(field), field === undefined ? '-' : String(raw.metrics[i][field])]
                                     .join('\t') + '\n');
        });
    }
} else if (mode === 'encode') {
    process.stdout.write(Buffer.from(sparkplug.encodePayload(JSON.parse(arg))).toString('hex') + '\n');
} else {
    process.stderr.write('usage: sparkplug.js decode FILE | encode JSON\n');
    process.exit(2);
}
