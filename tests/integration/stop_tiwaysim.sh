#!/bin/sh
# Stops the tiwaysim that start_tiwaysim.sh started, with SIGTERM, and shows
# its log. Fails when it had died before (a crash under test) or does not stop.
# usage: stop_tiwaysim.sh STATE_DIR
set -u
dir=$1
if [ ! -s "$dir/ready" ]; then
    echo "no tiwaysim to stop (its start failed, or it died):"
    cat "$dir/log" 2>/dev/null
    exit 1
fi
pid=$(cat "$dir/ready")
if ! kill -TERM "$pid" 2>/dev/null; then
    echo "tiwaysim (pid $pid) was no longer running:"
    cat "$dir/log"
    exit 1
fi
# Whoever inherited it may be slow to reap it: a zombie has stopped too.
running() {
    kill -0 "$pid" 2>/dev/null || return 1
    state=$(sed -n 's/^State:[[:space:]]*\([A-Z]\).*/\1/p' "/proc/$pid/status" 2>/dev/null)
    [ "$state" != "Z" ]
}
tries=0
while running; do
    tries=$((tries + 1))
    if [ "$tries" -gt 50 ]; then
        echo "tiwaysim (pid $pid) did not stop within 5 s of SIGTERM" >&2
        kill -KILL "$pid" 2>/dev/null
        exit 1
    fi
    sleep 0.1
done
tail -n 40 "$dir/log"
grep -q '^tiwaysim: stopped$' "$dir/log"
