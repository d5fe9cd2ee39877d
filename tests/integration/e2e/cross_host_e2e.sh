#!/usr/bin/env bash
# One channel's life with a cross-built orvhost and module, run through the
# emulator against the native tiwaysim that the fixture started on
# plant_network.conf: operation 14, a cold start, reads of values the network
# held from the start, a gate of every region shape written and read back, a
# bit of a word, a 128-word block, a warm start. What reached the controller
# is checked in tiwaysim's trace, so a fault that writes and reads back the
# same wrong bytes still shows.
#
# usage: cross_host_e2e.sh STATE_DIR ORVHOST MODULE EMULATOR...
set -uo pipefail
[ $# -ge 4 ] || { echo "usage: $0 STATE_DIR ORVHOST MODULE EMULATOR..." >&2; exit 2; }
trace_log=$1/log
orvhost=$2
module=$3
shift 3
emulator=("$@")

work=$(mktemp -d "${TMPDIR:-/tmp}/orvtiw-cross-e2e.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}

# host ARGS...: orvhost in the work directory, stdout to $work/out, stderr to
# $work/err, exit status in $rc.
host() {
    rc=0
    (cd "$work" && timeout 150 "${emulator[@]}" "$orvhost" --module "$module" "$@") >"$work/out" 2>"$work/err" ||
        rc=$?
}

# in_order FILE TEXT...: each TEXT is found in FILE, on lines in this order.
in_order() {
    local file=$1 from=0 text n
    shift
    for text in "$@"; do
        n=$(tail -n "+$((from + 1))" "$file" | grep -n -F -m1 -- "$text" | cut -d: -f1)
        if [ -z "$n" ]; then
            echo "missing (in this order): $text"
            return 1
        fi
        from=$((from + n))
    done
}

# --- operation 14: the 32-bit host allocates the record's own 1326 bytes
host info
[ "$rc" = 0 ] || fail "info exited with $rc: $(cat "$work/err")"
grep -qxF "driver:        TW TIWAY Host Adapter" "$work/out" || fail "info does not name the driver"
grep -qxF "instance size: 1326 bytes" "$work/out" || fail "info: $(grep 'instance size' "$work/out")"

# --- one channel: a script of reads and writes, each line's answer known
# V, X: predefined; D: V as double words; L: 32-bit elements.
printf 'C800;800\nD;01;2;2\nL;0B;4;1\n' >"$work/plant.int"
script=$'read 01V0064 2 -t hex\nread 01D0064 -t hex32\nread 01D00C9 -t float\nread 01L0001 -t hex32\n'
script+=$'read 01X0001 4 -t uint16\n'
script+=$'write 01V0400 -2\nread 01V0400\n'
script+=$'write 01X0010 1 -t bit\nread 01X0010 -t bit\n'
script+=$'write 01D0191 -2.5 -t float\nread 01D0191 -t float\nread 01V0191 2 -t hex\n'
script+=$'write 01L0011 -2 -t int32\nread 01L0011 -t hex32\n'
script+=$'write 01V0200 0x1200 -t hex\nwrite 01V02003 1 -t bit\nread 01V0200 -t hex\n'
expected=("01V0064 [0]: 0x1234" "01V0064 [1]: 0x5678" "01D0064: 0x12345678" "01D00C9: -2.5" "01L0001: 0x89ABCDEF"
          "01X0001 [0]: 1" "01X0001 [1]: 0" "01X0001 [2]: 1" "01X0001 [3]: 255"
          "01V0400: wrote 1 value" "01V0400: -2"
          "01X0010: wrote 1 value" "01X0010: 1"
          "01D0191: wrote 1 value" "01D0191: -2.5" "01V0191 [0]: 0xC020" "01V0191 [1]: 0x0000"
          "01L0011: wrote 1 value" "01L0011: 0xFFFFFFFE"
          "01V0200: wrote 1 value" "01V02003: wrote 1 value" "01V0200: 0x1208")
# 128 words from V768 (0x300), each with its own high and low byte.
block="write 01V0300"
expected+=("01V0300: wrote 128 values")
for i in $(seq 1 128); do
    block+=$(printf ' 0x%04X' $(((i * 0x0201) & 0xFFFF)))
done
for i in $(seq 1 128); do
    expected+=("$(printf '01V0300 [%d]: 0x%04X' $((i - 1)) $(((i * 0x0201) & 0xFFFF)))")
done
script+="$block -t hex"$'\nread 01V0300 128 -t hex\nread 01V037F -t hex\n'
expected+=("01V037F: 0x0080")
script+=$'warm\nread 01V0400\nread 01V0064 -t hex\n'
expected+=("warm: ok" "01V0400: -2" "01V0064: 0x1234")

start=$(stat -c %s "$trace_log" 2>/dev/null) || { echo "no trace at $trace_log"; exit 1; }
host -f "$work/plant.int" -l 32 - <<<"$script"
[ "$rc" = 0 ] || fail "the script exited with $rc"
if ! diff -u <(printf '%s\n' "${expected[@]}") "$work/out"; then
    fail "the script's answers (diff above: - expected, + printed)"
fi

# tiwaysim writes its trace out every 10 ms.
tail -c "+$((start + 1))" "$trace_log" >"$work/trace"
wanted=("C800 reset"
        "prim sec 1 write V(01) elem 1024 data FFFE -> kind 1 ok"
        "prim sec 1 write X(03) elem 16 data 01 -> kind 1 ok"
        "prim sec 1 write V(01) elem 401 data C0200000 -> kind 1 ok"
        "prim sec 1 write L(0B) elem 17 data FFFFFFFE -> kind 1 ok"
        "prim sec 1 write V(01) elem 512 data 1208 -> kind 1 ok"
        "prim sec 1 write V(01) elem 768 data 02010402060308040A050C060E071008... -> kind 1 ok"
        "prim sec 1 read V(01) elem 768 count 128 -> kind 1 ok"
        "C800 reset" "connect sec 1 -> kind 2 01"
        "prim sec 1 read V(01) elem 1024 count 1 -> kind 1 ok data FFFE")
for _ in $(seq 30); do
    in_order "$work/trace" "${wanted[@]}" >/dev/null && break
    sleep 0.1
    tail -c "+$((start + 1))" "$trace_log" >"$work/trace"
done
in_order "$work/trace" "${wanted[@]}" || fail "what reached the controller (trace)"

if [ "$failures" -gt 0 ]; then
    echo "--- stderr of the last orvhost"
    cat "$work/err"
    exit 1
fi
echo "cross-built orvhost and module: operation 14, cold start, every region shape, a bit, a 128-word block, warm start: ok"
