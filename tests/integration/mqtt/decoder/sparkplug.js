// The tests' independent Sparkplug B codec, npm's sparkplug-payload:
//   node sparkplug.js decode FILE   FILE holds "TOPIC<TAB>HEX" lines; for each it prints
//       M<TAB>topic<TAB>seq<TAB>timestamp            (then, for each metric)
//       m<TAB>name<TAB>alias<TAB>type<TAB>value<TAB>isNull<TAB>isHistorical<TAB>timestamp
//     with "-" for what the payload leaves out and the value as JSON, or
//       E<TAB>topic<TAB>error                        when it does not decode
//   node sparkplug.js encode JSON   prints the hex of the payload JSON describes
// 64-bit values print as decimal strings, so that nothing is rounded.
'use strict';
const fs = require('fs');
const Long = require('long');
const sparkplug = require('sparkplug-payload').get('spBv1.0');

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
        try {
            payload = plain(sparkplug.decodePayload(bytes));
        } catch (e) {
            process.stdout.write(['E', topic, String(e)].join('\t') + '\n');
            continue;
        }
        const or = (v) => (v === undefined ? '-' : String(v));
        process.stdout.write(['M', topic, or(payload.seq), or(payload.timestamp)].join('\t') + '\n');
        for (const m of payload.metrics || []) {
            process.stdout.write(['m', or(m.name), or(m.alias), or(m.type),
                                  m.value === undefined ? '-' : JSON.stringify(m.value),
                                  m.value === null ? 'true' : 'false', or(m.isHistorical), or(m.timestamp)]
                                     .join('\t') + '\n');
        }
    }
} else if (mode === 'encode') {
    process.stdout.write(Buffer.from(sparkplug.encodePayload(JSON.parse(arg))).toString('hex') + '\n');
} else {
    process.stderr.write('usage: sparkplug.js decode FILE | encode JSON\n');
    process.exit(2);
}
