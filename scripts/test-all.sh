#!/usr/bin/env bash
# Runs every test of the project: the native build and its Debian package,
# the sanitizer build, the 32-bit Linux build under qemu-i386 and the Windows
# builds and zip. Installs what is missing first (both sets of
# scripts/setup.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

for preset in default sanitize; do
  echo "== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
  echo "== $preset: tests"
  ctest --preset "$preset" -j 2
  if [ "$preset" = default ]; then
    bash scripts/test-valgrind.sh
    echo "== the Debian package" && bash scripts/test-packages.sh
  fi
done
echo "== 32-bit x86 Linux under qemu-i386" && bash scripts/test-linux-i386.sh
echo "== benchmark, short mode (Release)" && bash scripts/bench.sh --short
echo "== fuzz (libFuzzer, 60 s per target, two at a time)" && bash scripts/test-fuzz.sh

if [ -x scripts/test-windows.sh ]; then
  echo "== windows"
  bash scripts/test-windows.sh
fi
