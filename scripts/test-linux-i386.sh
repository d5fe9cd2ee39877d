#!/usr/bin/env bash
# Builds the driver, orvhost, kelmar and the unit tests as 32-bit x86 Linux
# programs (g++ -m32) and runs them under qemu-i386, so the driver's code runs
# with 4-byte pointers and the record offsets a 32-bit host uses: the unit
# suite, the fuzz corpora, and one end-to-end run of the 32-bit orvhost and
# module against the native tiwaysim of the default build, built here first
# if it is missing or stale.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
jobs=$(nproc)

echo "== linux-i386: the native tiwaysim (default build)"
cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs" --target tiwaysim
echo "== linux-i386: configure and build"
cmake --preset linux-i386 >/dev/null
cmake --build --preset linux-i386 -j "$jobs"
echo "== linux-i386: tests under qemu-i386"
ctest --preset linux-i386 -j 2
echo "== linux-i386: done in $((SECONDS - start)) s"
