#!/usr/bin/env bash
# The README's way to a card, followed as a user would on a machine without
# one: this build installed into a fresh prefix, its tiwaysim serving a file
# of its own, and the shipped tmpfiles.d rule, with that file in place of
# /dev/mem, making the device path a link to it. The installed programs
# then reach the card through the link, as built.
# usage: card_link.sh BUILD_DIR PLANT_NETWORK DEVICE
set -euo pipefail
build=$1
network=$2
device=$3
work=$(mktemp -d)
sim=
cleanup() {
    if [ -n "$sim" ]; then kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; fi
    if [ -L "$device" ]; then rm -f "$device"; fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "card_link: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$work/prefix" >"$work/install.log"
bin=$work/prefix/bin
rule=$work/prefix/share/orvtiw/orvtiw-card.conf
[ -f "$rule" ] || fail "no tmpfiles.d rule installed"
[ ! -e "$device" ] && [ ! -L "$device" ] || fail "$device exists before the test"

"$bin/tiwaysim" --device "$work/card" --config "$network" --configured --ready-file "$work/ready" \
    --control "$work/control" >"$work/tiwaysim.log" 2>&1 &
sim=$!
for _ in $(seq 100); do [ -s "$work/ready" ] && break; sleep 0.1; done
[ -s "$work/ready" ] || { cat "$work/tiwaysim.log"; fail "tiwaysim did not get ready"; }

# The README's steps, with the simulator's file for /dev/mem.
mkdir "$work/tmpfiles.d"
sed "s#/dev/mem\$#$work/card#" "$rule" >"$work/tmpfiles.d/orvtiw-card.conf"
systemd-tmpfiles --create "$work/tmpfiles.d/orvtiw-card.conf"
[ "$(readlink "$device")" = "$work/card" ] || fail "the rule did not link $device to $work/card"

if [ -x "$bin/orvgate" ]; then # built where libmodbus is found
    "$bin/orvgate" --version | grep -qxF "device: $device" || fail "orvgate --version does not name $device"
fi
out=$("$bin/orvhost" -l 33 read 01V012C)
echo "$out"
[ "$out" = "01V012C: -32768" ]
