#!/usr/bin/env bash
# Runs every test of the project: the native build and its Debian package,
# the sanitizer build, the 32-bit Linux build under qemu-i386 and the Windows
# builds and zip. Installs what is missing first (both sets of
# scripts/setup.sh). The sanitize preset leaves out the benchmarks' short
# modes (bench_short, orvgate_bench_short): timed under the sanitizers they
# would judge the sanitizers; the default build and the Release run judge
# them.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
phase_start=$SECONDS
# Says how long the phase that ends took, and since the start.
phase_done() {
  echo "== $1: done in $((SECONDS - phase_start)) s ($((SECONDS - start)) s in all)"
  phase_start=$SECONDS
}

bash scripts/setup.sh
phase_done setup

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
  phase_done "$preset"
done
echo "== 32-bit x86 Linux under qemu-i386" && bash scripts/test-linux-i386.sh
phase_done linux-i386
echo "== benchmark, short mode (Release)" && bash scripts/bench.sh --short
phase_done benchmark
echo "== fuzz (libFuzzer, 60 s per target, two at a time)" && bash scripts/test-fuzz.sh
phase_done fuzz
echo "== windows" && bash scripts/test-windows.sh
phase_done windows
