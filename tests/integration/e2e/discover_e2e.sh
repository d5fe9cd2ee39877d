#!/usr/bin/env bash
# Discovery against a network described here: secondaries at scattered
# addresses (one on the network but disconnected), regions of unusual sizes
# (a 65535-word V that fills its unit's holding registers, a double region of
# an odd count, single-element ones). Every secondary and size must be found
# exactly, the exchanges counted must be the requests the card took, and the
# starter map must pass orvgate --check.
# usage: discover_e2e.sh TIWAYSIM ORVHOST ORVGATE
set -euo pipefail
trap 'echo "discover_e2e: failed at line $LINENO" >&2' ERR
sim=$1
host=$2
gate=$3
work=$(mktemp -d)
simpid=
trap '[ -z "$simpid" ] || kill -TERM "$simpid"; wait; rm -rf "$work"' EXIT
cd "$work"

cat >net.conf <<'CONF'
card C800
secondary 2
region 0x01 16 1000 V
region 0x03 8 77 X
region 0x0B 32 3 L
region 0x0A 16 101 WY
secondary 5 defaults
secondary 17
region 0x01 16 65535 V
region 0x04 8 1 Y
region 0x02 16 129 K
secondary 31
region 0x05 8 300 C
region 0x0A 16 2 WY
CONF
printf 'C800;800\nD;0A;2;2\nL;0B;4;1\nK;02;2;1\n' >plant.int

"$sim" --config net.conf --configured --control ctl --ready-file ready >sim.log 2>&1 &
simpid=$!
for _ in $(seq 100); do [ -s ready ] && break; sleep 0.1; done
[ -s ready ] || { cat sim.log; exit 1; }
"$sim" --send ctl "disconnect 5" >/dev/null

"$host" --init plant.int --starter-map start.map discover >out 2>err || { cat out err; exit 1; }
cat out
rows=$(grep -E '^ *[0-9]+  [A-Z] ' out | grep -v ' 0  -' | sed 's/ (.*//' | tr -s ' ' | sed 's/^ //')
expected='2 D double 101 02D0001..02D0065
2 L long 3 02L0001..02L0003
2 V word 1000 02V0001..02V03E8
2 X discrete 77 02X0001..02X004D
17 K word 129 11K0001..11K0081
17 V word 65535 11V0001..11VFFFF
17 Y discrete 1 11Y0001..11Y0001
31 C discrete 300 1FC0001..1FC012C
31 D double 2 1FD0001..1FD0002'
[ "$rows" = "$expected" ] || { printf 'found:\n%s\nexpected:\n%s\n' "$rows" "$expected"; exit 1; }
grep -q '^discover: 3 of 31 secondaries answer' out

# The card's count of requests: the discovery's, and the one the cold
# start of a configured adapter makes.
exchanges=$(sed -n 's/.*answer; \([0-9]*\) exchanges.*/\1/p' out)
requests=$("$sim" --send ctl counts | sed -n 's/.*requests \([0-9]*\)/\1/p')
[ "$requests" = $((exchanges + 1)) ] || { echo "counted $exchanges exchanges, the card took $requests requests"; exit 1; }

# Unit 17's holding registers take K, then all of V that still fits.
grep -qx 'holding 17 128 11K0081 1 int16' start.map
grep -qx 'holding 17 65409 11VFF01 127 int16' start.map
grep -qx '# (holding of unit 17 is full: 128 values of V are not mapped)' start.map
grep -qx 'holding 2 0 02D0001 50 int32 high-first' start.map
"$gate" --check --map start.map >check.out 2>&1 || { cat start.map check.out; exit 1; }
echo "starter map: $(grep -c '^[a-z]* [0-9]' start.map) ranges, accepted by orvgate --check"
