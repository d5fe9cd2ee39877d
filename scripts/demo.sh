#!/usr/bin/env bash
# The main job from start to end: set up the machine, build, start the
# simulated adapter card with an example network, start channels through
# orvhost and read and write gates of every kind, find what the network holds
# with a discovery, watch a controller drop off the network and the driver
# recover, serve the network through orvgate to a Modbus client and publish
# it to an MQTT broker the demo starts (a value written by a Sparkplug
# command), and stop the simulator, which takes the device file with it: a
# channel started then fails at once.
#
# usage: scripts/demo.sh [--no-setup] [--no-build] [--build-dir DIR] [--gate-port N] [--mqtt-port N]
#                        [--transcript FILE]
#   --no-setup         do not install missing packages (scripts/setup.sh)
#   --no-build         use the programs already built in the build directory
#   --build-dir DIR    the build directory (default: build/default, the default preset)
#   --gate-port N      the port orvgate serves Modbus TCP on (default 1502)
#   --mqtt-port N      the port of the mosquitto the demo starts (default 11883)
#   --transcript FILE  write each command it prints, with its exit status, to FILE
#
# Every line that starts with "$ " is a command exactly as the demo runs it,
# in its work directory with the build's programs on PATH (the first two
# commands), so each can be copied into a shell. A command that is meant to
# fail says so ("# exits 1"). Every step checks what it printed; the script
# stops with status 1 at the first unexpected answer. The simulator serves
# the device path that the build's driver opens, so nothing else may serve it
# meanwhile.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

setup=1
build=1
dir=build/default
gateport=1502
mqttport=11883
transcript=/dev/null
while [ $# -gt 0 ]; do
    case $1 in
    --no-setup) setup=0 ;;
    --no-build) build=0 ;;
    --build-dir | --gate-port | --mqtt-port | --transcript)
        [ $# -ge 2 ] || { echo "demo: $1 needs a value" >&2; exit 2; }
        case $1 in
        --build-dir) dir=$2 ;;
        --gate-port) gateport=$2 ;;
        --mqtt-port) mqttport=$2 ;;
        --transcript) transcript=$(realpath -m "$2") ;;
        esac
        shift
        ;;
    -h | --help)
        sed -n '2,26s/^# \{0,1\}//p' "$0"
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
for program in "$dir/sim/tiwaysim" "$dir/tools/orvhost/orvhost" "$dir/tools/orvgate/orvgate"; do
    [ -x "$program" ] || { echo "demo: $program is missing; build first (or leave out --no-build)" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/orvtiw-demo.XXXXXX")
: >"$transcript"
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
    for pid in "$subpid" "$brokerpid" "$gatepid" "$pollpid"; do
        [ -z "$pid" ] || { kill -TERM "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; }
    done
    stop_sim
    cd /
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

say() { printf '\n== %s\n' "$*"; }
fail() {
    printf '\ndemo: FAILED: %s\n' "$*" >&2
    exit 1
}

# Prints COMMAND and runs exactly that text in the demo's shell, its output
# shown and kept in out ($out), its exit status in $rc; the transcript gets
# the status and the command.
# With a second argument "quiet", the output is only kept.
step() {
    printf '$ %s\n' "$1"
    rc=0
    eval "$1" </dev/null >"$work/out" 2>&1 || rc=$?
    printf '%s\t%s\n' "$rc" "$1" >>"$transcript"
    out=$(cat "$work/out")
    [ -z "$out" ] || [ "${2:-}" = quiet ] || printf '%s\n' "$out"
}
# The same for a command left running in the background (standard input
# from /dev/null, as for any such command of a script): its pid in $!, which
# the caller keeps.
step_bg() {
    printf '$ %s &\n' "$1"
    eval "$1 &"
    printf '%s\t%s &\n' "-" "$1" >>"$transcript"
}
# orvhost with these arguments, quoted as a shell reads them.
run() {
    local words
    words=$(printf '%q ' "$@")
    step "orvhost ${words% }"
}
# orvhost fed SCRIPT on its standard input.
run_script() {
    local script=$1 words
    shift
    words=$(printf '%q ' "$@")
    step "printf $(printf '%q' "$script") | orvhost ${words% }"
}
expect_rc() { [ "$rc" = "$1" ] || fail "the command exited with $rc, expected $1"; }
expect_line() {
    local line
    for line in "$@"; do
        grep -qxF -- "$line" "$work/out" || fail "expected the line '$line'"
    done
}
control() {
    step "tiwaysim --send control \"$1\""
    expect_rc 0
}
# Waits up to TENTHS tenths of a second for CONDITION (a shell test), as a
# person would before the next command; false if it never held.
wait_until() {
    local tenths=$1 condition=$2
    for _ in $(seq "$tenths"); do
        eval "$condition" && return 0
        sleep 0.1
    done
    eval "$condition"
}

say "The demo's shell: the build's programs on PATH, a fresh work directory"
step "export PATH=$(printf '%q' "$dir/sim:$dir/tools/orvhost:$dir/tools/orvgate"):\$PATH"
step "cd $(printf '%q' "$work")"

say "Starting tiwaysim: one card at C800 with secondaries 1, 2 and 5, a second card at D000 with secondary 3"
step "grep -E '^(card|secondary|region|value)' $(printf '%q' "$root/sim/example_network.conf")"
# --remove-device: once it stops, the device file goes with it, so a driver
# started later fails at once to open it instead of resetting a card nobody
# serves (about 21 s).
step_bg "tiwaysim --config $(printf '%q' "$root/sim/example_network.conf") --control control --ready-file ready --trace --remove-device >tiwaysim.log 2>&1"
simpid=$!
wait_until 100 "[ -s ready ] || ! kill -0 $simpid 2>/dev/null"
[ -s ready ] || { cat tiwaysim.log >&2; simpid=; fail "tiwaysim did not start (is another one serving the device?)"; }
sed -n '/^tiwaysim: card/p' tiwaysim.log

# The channels' initialisation files: channel 1 adds three regions to the
# predefined V, X, Y and C; channel 2 drives the card at D000.
cat >OrvTiw01.int <<'EOF'
C800;800
D;01;2;2   V read and written as 32-bit values, two words each
L;0B;4;1   the 32-bit region
W;0A;2;1   WY, the word outputs
EOF
printf 'D000;800\n' >OrvTiw02.int
say "Initialisation files"
step "head OrvTiw01.int OrvTiw02.int"

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
control "read 1 0x01 301 2"
expect_line "0x41AC 0x0000"
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

say "A controller's program writes a float into V401 and V402; a script on one channel reads it as D401, then reads, writes, warm starts and reads again"
control "value 1 0x01 401 -7.25"
run_script $'read 01D0191 -t float\nread 01V0065 -t hex\nwrite 01V0065 7\nwarm\nread 01V0065\n' -l 0 -
expect_rc 0
expect_line "01D0191: -7.25" "01V0065: 0x5678" "warm: ok" "01V0065: 7"

say "Commissioning: which secondaries answer and how large their regions are, and a starter map for orvgate"
run --starter-map plant.map discover 1 2 3
expect_rc 0
expect_line "  1  V       word          1024  01V0001..01V0400" "  2  V       word          2048  02V0001..02V0800"
grep -q '^discover: 2 of 3 secondaries answer' out || fail "discover did not find secondaries 1 and 2 (3 is on the other card)"
step "orvgate --check --map plant.map" quiet
expect_rc 0
head -n 1 out

say "Polling while secondary 2 drops off the network and comes back"
step_bg "orvhost -l 32 -t hex -i 250 -N 16 poll 01V0064 02W0001 >poll.out 2>&1"
pollpid=$!
wait_until 100 "grep -q '^\[3\]' poll.out" || { cat poll.out; fail "the poll did not start"; }
control "disconnect 2"
wait_until 100 "grep -q '^\[8\]' poll.out" || { cat poll.out; fail "the poll stopped"; }
control "reconnect 2"
step "wait $pollpid   # exits 1: some of its reads failed"
pollpid=
expect_rc 1
step "cat poll.out"
grep -q '02W0001=status 2' poll.out || fail "the poll saw no failed read"
grep -q '^\[16\] 01V0064=0x1234 02W0001=0x0000$' poll.out || fail "the poll did not recover"

# ---- orvgate: the network over Modbus TCP -------------------------------------
say "Serving the network over Modbus TCP: orvgate with a map, a value written with mbpoll, read back through the driver"
cat >gate.map <<'EOF'
channel 1 OrvTiw01.int
holding 1 0 01V0064 2 uint16 rw         # V100 V101
holding 1 10 01D012D 1 float high-first # the float written above
EOF
step "cat gate.map"
step_bg "orvgate --map gate.map --listen 127.0.0.1:$gateport --timeout 200 --stats >gate.log 2>&1"
gatepid=$!
wait_until 300 "grep -q 'serving Modbus TCP' gate.log || ! kill -0 $gatepid 2>/dev/null"
grep -q 'serving Modbus TCP' gate.log || { cat gate.log; gatepid=; fail "orvgate did not start within 30 s"; }
cat gate.log
# Stops orvgate as systemd would and shows its last statistics (in LOG).
stop_gate() {
    step "kill -TERM $gatepid"
    expect_rc 0
    rc=0
    wait "$gatepid" || rc=$?
    gatepid=
    sed -n '/statistics/,$p' "$1"
    [ "$rc" = 0 ] || fail "orvgate exited with $rc"
}
# mbpoll once against orvgate: -0 numbers registers from 0 as orvgate's map
# does, -1 polls once.
mb() {
    step "mbpoll -m tcp -0 -1 -p $gateport $*" quiet
    [ "$rc" = 0 ] || { cat out; fail "mbpoll exited with $rc"; }
    sed -n 's/^\(\[[0-9]*\]:\)[[:space:]]*/\1 /p' out >values
    cp values out
    cat out
}
mb -a 1 -r 0 -c 2 -t 4:hex 127.0.0.1
expect_line "[0]: 0x1234" "[1]: 0x0007"
mb -a 1 -r 10 -t 4:float -B 127.0.0.1
expect_line "[10]: 21.5"
mb -a 1 -r 0 -t 4 127.0.0.1 4242
mb -a 1 -r 0 -t 4 127.0.0.1
expect_line "[0]: 4242"
stop_gate gate.log
say "The value written through orvgate, read through the driver with orvgate gone"
run -l 33 read 01V0064
expect_rc 0
expect_line "01V0064: 4242"
# ---- end of the orvgate step ---------------------------------------------------

# ---- orvgate: the network published to an MQTT broker ----------------------------
say "Publishing the network to an MQTT broker: orvgate as a Sparkplug B edge node, a value written by a command"
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$mqttport" >mosquitto.conf
chmod 755 "$work" && chmod 644 mosquitto.conf # the broker drops to a user of its own
step "cat mosquitto.conf"
step_bg "mosquitto -c mosquitto.conf >mosquitto.log 2>&1"
brokerpid=$!
wait_until 50 "mosquitto_pub -p $mqttport -t demo/ready -n 2>/dev/null" || fail "mosquitto did not start"
cat >edge.map <<'EOF'
channel 1 OrvTiw01.int
device 1 line1
holding 1 0 01V0064 1 uint16 rw "Set point"    # V100, written by a command
holding 1 10 01D012D 1 float high-first "Flow" # the float written above
EOF
step "cat edge.map"
# Every message of the node: its topic and its payload in hex, decoded below.
step_bg "mosquitto_sub -p $mqttport -q 1 -t 'spBv1.0/demo/#' -F '%t %x' >sub.log 2>&1"
subpid=$!
sleep 0.3
step_bg "orvgate --map edge.map --no-modbus --mqtt 127.0.0.1:$mqttport --mqtt-group demo --mqtt-node adapter1 --timeout 200 --stats >edge.log 2>&1"
gatepid=$!
wait_until 100 "grep -q '^spBv1.0/demo/DBIRTH/adapter1/line1 ' sub.log" || { cat edge.log; fail "no DBIRTH"; }
step "cut -d' ' -f1 sub.log | uniq"
# The last message of a topic, its hex made bytes again and decoded by
# protoc with the node's own schema.
decode_last() {
    step "grep '^$1 ' sub.log | tail -n 1 | cut -d' ' -f2 | tr a-f A-F | basenc --base16 -d | protoc --decode=orvgate.sparkplug.Payload -I $(printf '%q' "$(dirname "$proto")") $(printf '%q' "$proto")"
    [ "$rc" = 0 ] || fail "could not decode the last message on $1"
}
decode_last spBv1.0/demo/DBIRTH/adapter1/line1
grep -q 'name: "Set point"' out || fail "the DBIRTH has no Set point"
grep -q 'int_value: 4242' out || fail "the DBIRTH does not hold 4242"
say "A command from a Sparkplug host: Set point = 4343"
step "printf 'metrics { name: \"Set point\" datatype: 6 int_value: 4343 }' | protoc --encode=orvgate.sparkplug.Payload -I $(printf '%q' "$(dirname "$proto")") $(printf '%q' "$proto") | mosquitto_pub -p $mqttport -q 1 -t spBv1.0/demo/DCMD/adapter1/line1 -s"
expect_rc 0
wait_until 50 "grep -q '^spBv1.0/demo/DDATA/adapter1/line1 ' sub.log" || fail "no DDATA"
say "The DDATA that confirms it, with the value read back from the PLC"
decode_last spBv1.0/demo/DDATA/adapter1/line1
grep -q 'int_value: 4343' out || fail "no DDATA confirmed the command"
stop_gate edge.log
sleep 0.3
grep -q '^spBv1.0/demo/NDEATH/adapter1 ' sub.log || fail "no NDEATH at orvgate's stop"
echo "the broker got the node's NDEATH before it disconnected"
say "The value the command wrote, read through the driver with orvgate gone"
run -l 33 read 01V0064
expect_rc 0
expect_line "01V0064: 4343"
# ---- end of the MQTT step --------------------------------------------------------

say "Stopping tiwaysim"
step "kill -TERM $simpid"
expect_rc 0
wait "$simpid" 2>/dev/null || true
simpid=
cp tiwaysim.log "$dir/demo-tiwaysim.log"
tail -n 1 tiwaysim.log
grep -qx 'tiwaysim: stopped' tiwaysim.log || fail "tiwaysim did not stop cleanly"
printf 'exchanges with the card: %s; primitives: %s; resets: %s (trace in %s)\n' \
    "$(grep -c ' -> ' tiwaysim.log)" "$(grep -c ' prim ' tiwaysim.log)" "$(grep -c ' reset$' tiwaysim.log)" \
    "$dir/demo-tiwaysim.log"

say "Without the simulator the device file is gone: a channel start fails at once"
started=$(date +%s%N)
step "orvhost -l 32 read 01V0064   # exits 1: nothing serves the device"
elapsed_ms=$((($(date +%s%N) - started) / 1000000))
expect_rc 1
expect_line "32 ORV01: TIW: OpenCom() Unable to open GRELMIN driver"
printf 'failed after %s ms\n' "$elapsed_ms"
say "Demo complete"
