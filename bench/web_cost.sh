#!/bin/sh
# What the web view and the metrics cost the gateway: orvgate on tiwaysim
# (tests/integration/orvgate's plant of two cards, three secondaries),
# measured for S seconds quiet, then for S seconds with N live pages open in
# chromium and Prometheus scraping /metrics every second. Prints orvgate's
# CPU (user + system, from /proc) per scan cycle and per second, and the
# median scan cycle of each channel from /metrics. Run it in namespaces of
# its own, as the tests do:
#   sh tests/isolate.sh run -- sh bench/web_cost.sh build/default [S] [N]
set -eu
build=$(cd "$1" && pwd)
seconds=${2:-30}
pages=${3:-4}
root=$(cd "$(dirname "$0")/.." && pwd)
maps=$root/tests/integration/orvgate
work=$(mktemp -d)
http=18081
prom=18082
pids=
trap 'for p in $pids; do kill $p 2>/dev/null || true; done; wait 2>/dev/null; rm -rf "$work"' EXIT

"$build/sim/tiwaysim" --config "$maps/gate_network.conf" --configured --ready-file "$work/ready" >"$work/sim.log" 2>&1 &
pids="$pids $!"
while [ ! -s "$work/ready" ]; do sleep 0.1; done
cp "$maps/clients.map" "$maps/gate01.int" "$maps/gate02.int" "$work/"
"$build/tools/orvgate/orvgate" --map "$work/clients.map" --listen 127.0.0.1:18080 --http "127.0.0.1:$http" \
    >"$work/gate.log" 2>&1 &
gate=$!
pids="$pids $gate"
until grep -q 'serving the web view' "$work/gate.log"; do sleep 0.1; done
sleep 2

cpu() { awk '{ print $14 + $15 }' "/proc/$gate/stat"; } # clock ticks
cycles() { curl -sf "http://127.0.0.1:$http/metrics" | awk '/^orvgate_scan_cycles_total/ { n += $2 } END { print n }'; }
medians() { curl -sf "http://127.0.0.1:$http/metrics" | awk '/^orvgate_scan_cycle_seconds/ { printf "%s %.2f ms  ", $1, $2 * 1000 }'; }
measure() { # LABEL
    c0=$(cpu)
    n0=$(cycles)
    sleep "$seconds"
    c1=$(cpu)
    n1=$(cycles)
    tick=$(getconf CLK_TCK)
    awk -v l="$1" -v c="$((c1 - c0))" -v n="$((n1 - n0))" -v t="$tick" -v s="$seconds" 'BEGIN {
        printf "%s: %d cycles in %d s, orvgate CPU %.1f ms/s, %.1f us per cycle\n", l, n, s, c * 1000 / t / s, c * 1e6 / t / n }'
    echo "  $(medians)"
}

measure "quiet"
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
pids="$pids $!"
node "$root/tests/integration/web/browser/hold_pages.js" "http://127.0.0.1:$http/" "$pages" $((seconds + 30)) &
pids="$pids $!"
sleep 15 # chromium's pages open and Prometheus scrapes
measure "$pages live pages and Prometheus every 1 s"
