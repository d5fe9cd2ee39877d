#!/bin/sh
# orvgate's web view, metrics and audit against tiwaysim, in namespaces of
# its own (tests/isolate.sh): the page in chromium (check_page.js), Debian's
# prometheus scraping /metrics every second and answered through its HTTP
# API, a Modbus write's audit line, and a client that connects for every
# poll leaving no line per poll. Screenshots and logs stay in WORK.
# usage: web_test.sh TIWAYSIM ORVGATE DEVICE WORK PORT_BASE
set -eu
sim=$1
gate=$2
device=$3
work=$4
base=$5
here=$(cd "$(dirname "$0")" && pwd)
maps=$here/../orvgate
modbus=$base
http=$((base + 1))
prom=$((base + 2))

rm -rf "$work"
mkdir -p "$work/shots"
simpid=
gatepid=
prompid=
finish() {
    for pid in $prompid $gatepid $simpid; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
}
trap finish EXIT
fail() {
    echo "web_test: FAILED: $*" >&2
    echo "--- orvgate's log" >&2
    cat "$work/gate.log" >&2 || true
    exit 1
}
# Waits up to $1 tenths of a second for the command after it to succeed.
within() {
    tries=$1
    shift
    while ! "$@" >/dev/null 2>&1; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        sleep 0.1
    done
}
began=$(date +%s%N)
lap() { echo "web_test: $1 after $((($(date +%s%N) - began) / 1000000)) ms"; }

"$sim" --device "$device" --config "$maps/gate_network.conf" --configured --control "$work/control" --ready-file "$work/ready" \
    >"$work/tiwaysim.log" 2>&1 &
simpid=$!
within 100 test -s "$work/ready" || fail "tiwaysim did not start"
cp "$maps/clients.map" "$maps/gate01.int" "$maps/gate02.int" "$work/"
"$gate" --map "$work/clients.map" --listen "127.0.0.1:$modbus" --http "127.0.0.1:$http" --retry-most 1000 >"$work/gate.log" 2>&1 &
gatepid=$!
within 300 grep -q 'serving the web view' "$work/gate.log" || fail "orvgate did not serve its web view"
within 50 grep -q 'serving Modbus TCP' "$work/gate.log" || fail "orvgate did not serve Modbus TCP"
lap "orvgate serving"

# The page, in a real browser.
node "$here/browser/check_page.js" "http://127.0.0.1:$http/" "$sim" "$work/control" "$work/shots" ||
    fail "the page (screenshots in $work/shots)"
lap "the page checked"

# Prometheus scrapes the gateway every second; its API answers a channel's
# state and a scan class's achieved period.
cat >"$work/prometheus.yml" <<CONF
global:
  scrape_interval: 1s
scrape_configs:
  - job_name: orvgate
    static_configs:
      - targets: ['127.0.0.1:$http']
CONF
prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/tsdb" \
    --web.listen-address="127.0.0.1:$prom" >"$work/prometheus.log" 2>&1 &
prompid=$!
query() {
    curl -sfG "http://127.0.0.1:$prom/api/v1/query" --data-urlencode "query=$1" >"$work/answer.json" &&
        /usr/bin/python3 -c 'import json,sys; r=json.load(open(sys.argv[1]))["data"]["result"]; sys.exit(0 if r and float(r[0]["value"][1]) '"$2"' else 1)' "$work/answer.json"
}
within 200 query 'orvgate_channel_state{channel="1",state="good"}' '== 1' ||
    fail "prometheus did not answer channel 1 good: $(cat "$work/answer.json" 2>/dev/null) $(tail -3 "$work/prometheus.log")"
within 30 query 'orvgate_class_achieved_period_seconds{channel="2",class="default"}' '> 0' ||
    fail "prometheus did not answer the achieved period of channel 2's default class: $(cat "$work/answer.json")"
lap "prometheus answered"

# A Modbus write leaves one audit line with who, what, the old and new value and the outcome.
mbpoll -m tcp -a 1 -0 -r 16 -t 4 -1 -p "$modbus" 127.0.0.1 777 >/dev/null || fail "mbpoll could not write"
within 30 grep -q 'audit: ' "$work/gate.log" || fail "no audit line for the write"
[ "$(grep -c 'audit: ' "$work/gate.log")" = 1 ] || fail "not one audit line for one write"
grep -q "audit: write of holding 16..16 at unit 1 from 127.0.0.1:[0-9]*: channel 1 secondary 1 01V0011: 0 -> 777: applied" \
    "$work/gate.log" || fail "the audit line does not say who, what, from and to: $(grep 'audit: ' "$work/gate.log")"
# A client that connects for every poll leaves no line per poll.
lines=$(wc -l <"$work/gate.log")
for poll in 1 2 3 4 5 6 7 8 9 10; do
    mbpoll -m tcp -a 1 -0 -r 0 -t 4 -1 -p "$modbus" 127.0.0.1 >/dev/null || fail "poll $poll failed"
done
[ "$(wc -l <"$work/gate.log")" = "$lines" ] || fail "polls left lines: $(tail -n +$((lines + 1)) "$work/gate.log")"
lap "the audit checked"
