#!/bin/sh
# Starts tiwaysim in the background for the integration tests and waits for
# its ready file (which holds its process id).
# usage: start_tiwaysim.sh TIWAYSIM DEVICE STATE_DIR
set -eu
sim=$1
device=$2
dir=$3
mkdir -p "$dir"
# A process of that pid counts only if it is a tiwaysim: in a namespace of
# its own the pids start again from 1.
if [ -f "$dir/ready" ] && kill -0 "$(cat "$dir/ready")" 2>/dev/null &&
    [ "$(cat "/proc/$(cat "$dir/ready")/comm" 2>/dev/null)" = tiwaysim ]; then
    echo "a tiwaysim started by an earlier run still serves $device (pid $(cat "$dir/ready"))" >&2
    exit 1
fi
rm -f "$dir/ready"
# Its own session and no pipes of ours, so ctest does not wait on it.
setsid "$sim" --device "$device" --ready-file "$dir/ready" --control "$dir/control" --trace \
    </dev/null >"$dir/log" 2>&1 &
launcher=$!
tries=0
while [ ! -s "$dir/ready" ]; do
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ]; then
        echo "tiwaysim did not get ready within 10 s" >&2
        cat "$dir/log" >&2
        exit 1
    fi
    if ! kill -0 "$launcher" 2>/dev/null && [ ! -s "$dir/ready" ]; then
        # setsid may have forked; the ready file is the only word that counts.
        sleep 0.2
        if [ ! -s "$dir/ready" ]; then
            echo "tiwaysim exited before getting ready:" >&2
            cat "$dir/log" >&2
            exit 1
        fi
    fi
    sleep 0.1
done
cat "$dir/log"
