#!/usr/bin/env bash
# The main job from start to end: set up the machine, build, start the
# simulated adapter card with an example network, start channels through
# orvhost and read and write gates of every kind, watch a controller drop off
# the network and the driver recover, serve the network through orvgate to a
# Modbus client and publish it to an MQTT broker the demo starts (a value
# written by a Sparkplug command), and stop the simulator, which takes the
# device file with it: a channel started then fails at once.
#
# usage: scripts/demo.sh [--no-setup] [--no-build] [--build-dir DIR] [--gate-port N] [--mqtt-port N]
#   --no-setup       do not install missing packages (scripts/setup.sh)
#   --no-build       use the programs already built in the build directory
#   --build-dir DIR  the build directory (default: build/default, the default preset)
#   --gate-port N    the port orvgate serves Modbus TCP on (default 1502)
#   --mqtt-port N    the port of the mosquitto the demo starts (default 11883)
#
# Every step checks what it printed; the script stops with status 1 at the
# first unexpected answer. The simulator serves the device path that the
# build's driver opens, so nothing else may serve it meanwhile.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

setup=1
build=1
dir=build/default
gateport=1502
mqttport=11883
while [ $# -gt 0 ]; do
    case $1 in
    --no-setup) setup=0 ;;
    --no-build) build=0 ;;
    --build-dir)
        [ $# -ge 2 ] || { echo "demo: --build-dir needs a directory" >&2; exit 2; }
        dir=$2
        shift
        ;;
    --gate-port)
        [ $# -ge 2 ] || { echo "demo: --gate-port needs a port" >&2; exit 2; }
        gateport=$2
        shift
        ;;
    --mqtt-port)
        [ $# -ge 2 ] || { echo "demo: --mqtt-port needs a port" >&2; exit 2; }
        mqttport=$2
        shift
        ;;
    -h | --help)
        sed -n '2,19s/^# \{0,1\}//p' "$0"
        exit 0
        ;;
    *)
        echo "demo: unknown argument '$1' (see --help)" >&2
        exit 2
        ;;
    esac
    shift
done

if [ "$setup" = 1 ]; then
    bash scripts/setup.sh --build
fi
if [ "$build" = 1 ]; then
    if [ "$dir" = build/default ]; then
        cmake --preset default >/dev/null
    fi
    cmake --build "$dir" -j 2 --target orvhost tiwaysim orvgate
fi
dir=$(cd "$dir" && pwd)
sim=$dir/sim/tiwaysim
host=$dir/tools/orvhost/orvhost
gate=$dir/tools/orvgate/orvgate
for program in "$sim" "$host" "$gate"; do
    [ -x "$program" ] || { echo "demo: $program is missing; build first (or leave out --no-build)" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/orvtiw-demo.XXXXXX")
log=$dir/demo-tiwaysim.log
simpid=
pollpid=
gatepid=
brokerpid=
subpid=
proto=$root/tools/orvgate/src/mqtt/sparkplug_b.proto

stop_sim() {
    if [ -n "$simpid" ] && kill -0 "$simpid" 2>/dev/null; then
        kill -TERM "$simpid"
        wait "$simpid" 2>/dev/null || true
    fi
    simpid=
}
cleanup() {
    for pid in "$subpid" "$brokerpid"; do
        [ -z "$pid" ] || { kill -TERM "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; }
    done
    if [ -n "$gatepid" ]; then
        kill -TERM "$gatepid" 2>/dev/null || true
        wait "$gatepid" 2>/dev/null || true
    fi
    if [ -n "$pollpid" ]; then
        kill -TERM "$pollpid" 2>/dev/null || true
        wait "$pollpid" 2>/dev/null || true
    fi
    stop_sim
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

say() { printf '\n== %s\n' "$*"; }
fail() {
    printf '\ndemo: FAILED: %s\n' "$*" >&2
    exit 1
}

# Runs orvhost in the work directory, shows the command and what it printed,
# and keeps the output in $out and the exit status in $rc.
run() {
    printf '$ orvhost %s\n' "$*"
    rc=0
    (cd "$work" && "$host" "$@") >"$work/out" 2>&1 || rc=$?
    out=$(cat "$work/out")
    [ -z "$out" ] || printf '%s\n' "$out"
}
# run, fed a script on its standard input.
run_script() {
    local script=$1
    shift
    printf '$ printf %q | orvhost %s\n' "$script" "$*"
    rc=0
    (cd "$work" && printf '%s' "$script" | "$host" "$@") >"$work/out" 2>&1 || rc=$?
    out=$(cat "$work/out")
    [ -z "$out" ] || printf '%s\n' "$out"
}
expect_rc() { [ "$rc" = "$1" ] || fail "orvhost exited with $rc, expected $1"; }
expect_line() {
    local line
    for line in "$@"; do
        grep -qxF -- "$line" "$work/out" || fail "expected the line '$line'"
    done
}
control() {
    printf '$ tiwaysim --send CONTROL "%s"\n' "$1"
    "$sim" --send "$work/control" "$1" >/dev/null || fail "tiwaysim did not take '$1'"
}

say "Starting tiwaysim: one card at C800 with secondaries 1, 2 and 5, a second card at D000 with secondary 3"
sed -n 's/^\(card\|secondary\|value\|region\)/    &/p' sim/example_network.conf
# --remove-device: once it stops, the device file goes with it, so a driver
# started later fails at once to open it instead of resetting a card nobody
# serves (about 21 s).
"$sim" --config "$root/sim/example_network.conf" --control "$work/control" --ready-file "$work/ready" --trace \
    --remove-device </dev/null >"$log" 2>&1 &
simpid=$!
for _ in $(seq 100); do
    [ -s "$work/ready" ] && break
    kill -0 "$simpid" 2>/dev/null || { cat "$log" >&2; simpid=; fail "tiwaysim did not start (is another one serving the device?)"; }
    sleep 0.1
done
[ -s "$work/ready" ] || fail "tiwaysim did not get ready within 10 s"
sed -n '/^tiwaysim: card/p' "$log"

# The channels' initialisation files: channel 1 adds three regions to the
# predefined V, X, Y and C; channel 2 drives the card at D000.
cat >"$work/OrvTiw01.int" <<'EOF'
C800;800
D;01;2;2   V read and written as 32-bit values, two words each
L;0B;4;1   the 32-bit region
W;0A;2;1   WY, the word outputs
EOF
printf 'D000;800\n' >"$work/OrvTiw02.int"
say "Initialisation files"
printf -- '--- OrvTiw01.int\n'
cat "$work/OrvTiw01.int"
printf -- '--- OrvTiw02.int\n'
cat "$work/OrvTiw02.int"

say "The driver module"
run info
expect_rc 0
expect_line "driver:        TW TIWAY Host Adapter"

say "First start of a channel: reset and configure the adapter (about 11 s), then read V100 and V101"
run -l 32 -t hex read 01V0064 2
expect_rc 0
expect_line "01V0064 [0]: 0x1234" "01V0064 [1]: 0x5678"

say "The same two words as one 32-bit value of region D, and the 32-bit L1 of secondary 2"
run -l 33 -t hex32 read 01D0064
expect_rc 0
expect_line "01D0064: 0x12345678"
run -l 33 -t hex32 read 02L0001
expect_rc 0
expect_line "02L0001: 0x12345678"

say "Discrete inputs X1..X3, one point and as a block of bytes"
run -l 33 -t bit read 01X0001
expect_rc 0
expect_line "01X0001: 1"
run -l 33 -t uint16 read 01X0001 3
expect_rc 0
expect_line "01X0001 [0]: 1" "01X0001 [1]: 0" "01X0001 [2]: 1"

say "Writes, each read back by a channel of its own: a signed word, a float, one bit of a word"
run -l 33 write 01V00C8 -1234
expect_rc 0
run -l 33 read 01V00C8
expect_rc 0
expect_line "01V00C8: -1234"
run -l 33 -t float write 01D012D 21.5
expect_rc 0
run -l 33 -t float read 01D012D
expect_rc 0
expect_line "01D012D: 21.5"
run -l 33 -t hex write 01V00C9 0x0100
expect_rc 0
run -l 33 -t bit write 01V00C90 1
expect_rc 0
run -l 33 -t hex read 01V00C9
expect_rc 0
expect_line "01V00C9: 0x0101"

say "Channel 2 on the card at D000"
run_script $'write 03V0001 0x0D00\nread 03V0001\n' -c 2 -l 33 -t hex -
expect_rc 0
expect_line "03V0001: 0x0D00"

say "A script on one channel: read, write, warm start, read again"
run_script $'read 01V0065 -t hex\nwrite 01V0065 7\nwarm\nread 01V0065\n' -l 0 -
expect_rc 0
expect_line "01V0065: 0x5678" "warm: ok" "01V0065: 7"

say "Polling while secondary 2 drops off the network and comes back"
printf '$ orvhost -t hex -i 250 -N 16 poll 01V0064 02W0001\n'
(cd "$work" && exec "$host" -l 32 -t hex -i 250 -N 16 poll 01V0064 02W0001) >"$work/poll" 2>&1 &
pollpid=$!
wait_for() {
    for _ in $(seq 200); do
        grep -q -- "$1" "$work/poll" && return 0
        sleep 0.05
    done
    cat "$work/poll"
    fail "no '$1' from the poll"
}
wait_for '^\[3\]'
control "disconnect 2"
wait_for '^\[8\]'
control "reconnect 2"
rc=0
wait "$pollpid" || rc=$?
pollpid=
cat "$work/poll"
cp "$work/poll" "$work/out"
expect_rc 1
grep -q '02W0001=status 2' "$work/poll" || fail "the poll saw no failed read"
grep -q '^\[16\] 01V0064=0x1234 02W0001=0x0000$' "$work/poll" || fail "the poll did not recover"

# ---- orvgate: the network over Modbus TCP -------------------------------------
say "Serving the network over Modbus TCP: orvgate with a map, a value written with mbpoll, read back through the driver"
cat >"$work/gate.map" <<'EOF'
channel 1 OrvTiw01.int
holding 1 0 01V0064 2 uint16 rw         # V100 V101
holding 1 10 01D012D 1 float high-first # the float written above
EOF
sed 's/^/    /' "$work/gate.map"
printf '$ orvgate --map gate.map --listen 127.0.0.1:%s --stats\n' "$gateport"
(cd "$work" && exec "$gate" --map gate.map --listen "127.0.0.1:$gateport" --timeout 200 --stats) \
    >"$work/gate.log" 2>&1 &
gatepid=$!
for _ in $(seq 300); do
    grep -q 'serving Modbus TCP' "$work/gate.log" && break
    kill -0 "$gatepid" 2>/dev/null || { cat "$work/gate.log"; gatepid=; fail "orvgate did not start"; }
    sleep 0.1
done
grep -q 'serving Modbus TCP' "$work/gate.log" || fail "orvgate did not start within 30 s"
cat "$work/gate.log"
# Stops orvgate as systemd would and shows its last statistics (in LOG).
stop_gate() {
    printf '$ kill -TERM orvgate\n'
    kill -TERM "$gatepid"
    rc=0
    wait "$gatepid" || rc=$?
    gatepid=
    sed -n '/statistics/,$p' "$1"
    [ "$rc" = 0 ] || fail "orvgate exited with $rc"
}
# Runs mbpoll once against orvgate and shows the values it printed.
mb() {
    printf '$ mbpoll %s\n' "$*"
    rc=0
    mbpoll -m tcp -0 -1 -p "$gateport" "$@" >"$work/mbpoll" 2>&1 || rc=$?
    sed -n 's/^\(\[[0-9]*\]:\)[[:space:]]*/\1 /p' "$work/mbpoll" | tee "$work/out"
    [ "$rc" = 0 ] || { cat "$work/mbpoll"; fail "mbpoll exited with $rc"; }
}
mb -a 1 -r 0 -c 2 -t 4:hex 127.0.0.1
expect_line "[0]: 0x1234" "[1]: 0x0007"
mb -a 1 -r 10 -t 4:float -B 127.0.0.1
expect_line "[10]: 21.5"
mb -a 1 -r 0 -t 4 127.0.0.1 4242
mb -a 1 -r 0 -t 4 127.0.0.1
expect_line "[0]: 4242"
stop_gate "$work/gate.log"
say "The value written through orvgate, read through the driver with orvgate gone"
run -l 33 read 01V0064
expect_rc 0
expect_line "01V0064: 4242"
# ---- end of the orvgate step ---------------------------------------------------

# ---- orvgate: the network published to an MQTT broker ----------------------------
say "Publishing the network to an MQTT broker: orvgate as a Sparkplug B edge node, a value written by a command"
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$mqttport" >"$work/mosquitto.conf"
chmod 755 "$work" && chmod 644 "$work/mosquitto.conf" # the broker drops to a user of its own
printf '$ mosquitto -c mosquitto.conf   # listener %s 127.0.0.1, allow_anonymous true\n' "$mqttport"
mosquitto -c "$work/mosquitto.conf" >"$work/mosquitto.log" 2>&1 &
brokerpid=$!
for _ in $(seq 50); do
    mosquitto_pub -p "$mqttport" -t demo/ready -n 2>/dev/null && break
    sleep 0.1
done
mosquitto_pub -p "$mqttport" -t demo/ready -n || fail "mosquitto did not start"
cat >"$work/edge.map" <<'EOF'
channel 1 OrvTiw01.int
device 1 line1
holding 1 0 01V0064 1 uint16 rw "Set point"    # V100, written by a command
holding 1 10 01D012D 1 float high-first "Flow" # the float written above
EOF
sed 's/^/    /' "$work/edge.map"
# Every message of the node: its topic and its payload in hex, decoded below.
mosquitto_sub -p "$mqttport" -q 1 -t 'spBv1.0/demo/#' -F '%t %x' >"$work/sub" 2>&1 &
subpid=$!
sleep 0.3
printf '$ orvgate --map edge.map --no-modbus --mqtt 127.0.0.1:%s --mqtt-group demo --mqtt-node adapter1\n' "$mqttport"
(cd "$work" && exec "$gate" --map edge.map --no-modbus --mqtt "127.0.0.1:$mqttport" --mqtt-group demo \
    --mqtt-node adapter1 --timeout 200 --stats) >"$work/edge.log" 2>&1 &
gatepid=$!
# Decodes the last message of a topic with protoc and the node's own schema.
decode_last() {
    local hex
    hex=$(grep "^$1 " "$work/sub" | tail -n 1 | cut -d' ' -f2)
    [ -n "$hex" ] || fail "no message on $1"
    # shellcheck disable=SC2059 # the hex made into a format of \xHH escapes is the point
    printf "$(printf '%s' "$hex" | sed 's/../\\x&/g')" | protoc --decode=orvgate.sparkplug.Payload -I "$(dirname "$proto")" "$proto"
}
for _ in $(seq 100); do
    grep -q '^spBv1.0/demo/DBIRTH/adapter1/line1 ' "$work/sub" && break
    sleep 0.1
done
printf '$ mosquitto_sub -t "spBv1.0/demo/#"   (the topics, in order)\n'
cut -d' ' -f1 "$work/sub" | uniq | sed 's/^/    /'
printf '$ protoc --decode ... the DBIRTH of line1\n'
decode_last spBv1.0/demo/DBIRTH/adapter1/line1 | tee "$work/out" | sed 's/^/    /'
grep -q 'name: "Set point"' "$work/out" || fail "the DBIRTH has no Set point"
grep -q 'int_value: 4242' "$work/out" || fail "the DBIRTH does not hold 4242"
printf '$ protoc --encode ... | mosquitto_pub -t spBv1.0/demo/DCMD/adapter1/line1 -s   # Set point = 4343\n'
printf 'metrics { name: "Set point" datatype: 6 int_value: 4343 }' |
    protoc --encode=orvgate.sparkplug.Payload -I "$(dirname "$proto")" "$proto" |
    mosquitto_pub -p "$mqttport" -q 1 -t spBv1.0/demo/DCMD/adapter1/line1 -s || fail "mosquitto_pub failed"
for _ in $(seq 50); do
    grep -q '^spBv1.0/demo/DDATA/adapter1/line1 ' "$work/sub" && break
    sleep 0.1
done
printf '$ protoc --decode ... the DDATA that confirms it, with the value read back from the PLC\n'
decode_last spBv1.0/demo/DDATA/adapter1/line1 | tee "$work/out" | sed 's/^/    /'
grep -q 'int_value: 4343' "$work/out" || fail "no DDATA confirmed the command"
stop_gate "$work/edge.log"
sleep 0.3
grep -q '^spBv1.0/demo/NDEATH/adapter1 ' "$work/sub" || fail "no NDEATH at orvgate's stop"
echo "the broker got the node's NDEATH before it disconnected"
say "The value the command wrote, read through the driver with orvgate gone"
run -l 33 read 01V0064
expect_rc 0
expect_line "01V0064: 4343"
# ---- end of the MQTT step --------------------------------------------------------

say "Stopping tiwaysim"
stop_sim
tail -n 1 "$log"
grep -qx 'tiwaysim: stopped' "$log" || fail "tiwaysim did not stop cleanly"
printf 'exchanges with the card: %s; primitives: %s; resets: %s (trace in %s)\n' \
    "$(grep -c ' -> ' "$log")" "$(grep -c ' prim ' "$log")" "$(grep -c ' reset$' "$log")" "$log"

say "Without the simulator the device file is gone: a channel start fails at once"
started=$(date +%s%N)
run -l 32 read 01V0064
elapsed_ms=$((($(date +%s%N) - started) / 1000000))
expect_rc 1
expect_line "32 ORV01: TIW: OpenCom() Unable to open GRELMIN driver"
printf 'failed after %s ms\n' "$elapsed_ms"
say "Demo complete"
