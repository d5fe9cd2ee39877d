#!/usr/bin/env bash
# Runs every test of the project: the native build and its Debian package,
# the sanitizer build, the gateway's unit and gateway tests under
# ThreadSanitizer, the 32-bit Linux build under qemu-i386, the Windows
# builds and zip, the fuzz targets, and the benchmarks' short modes (ctest
# cases of the default build). Installs what is missing first (both sets of
# scripts/setup.sh).
#
# Phases that do not need each other overlap. The builds, the fuzzing and
# the emulated runs (linux-i386, windows) keep the processors busy one
# after another at the lowest priority (nice 19), while the two ctest runs,
# which mostly wait on real time, go on beside them at normal priority: a
# case that judges how long something takes gets a processor whenever it
# asks for one. The builds for tests alone (sanitize, linux-i386, fuzz)
# keep line tables only as debug information (-g1), a quarter less to
# compile, and the libFuzzer runs take ORVTIW_FUZZ_SECONDS each (default
# here 20 s), so that the command stays near ten minutes on two processors.
# Each phase writes its output to build/test-all/PHASE.log; its time is
# printed when it ends, and a phase that fails fails the command with its
# log shown (the phases still running are stopped, none is started).
#
# The sanitize preset (CMakePresets.json) leaves out cases that cannot find
# a memory or undefined-behaviour fault that the sanitized suite misses
# otherwise; the default run keeps each of them:
#   bench_short, orvgate_bench_short: timed under the sanitizers they would
#     judge the sanitizers.
#   faults.soak_short: a minute or two of operations with random faults,
#     judged by the values read; each fault's code path runs sanitized in
#     the fault matrix, and arbitrary card replies in the fuzz targets.
#   e2e.EndToEnd.AdapterIgnoresItsResetUntilReopened: 20 s of the reset's
#     polling loop in real time; the same loop runs sanitized to its time-out
#     on the virtual clock (CardReset.NoResetSwitchTimesTheDriverOut).
# The sanitized orvgate_load runs, but judges no time (--untimed): a
# sanitized card and gateway on a busy machine may outlast the time-outs.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
t0=$SECONDS
logs=build/test-all

bash scripts/setup.sh || exit 1
echo "== setup: done in $((SECONDS - t0)) s ($((SECONDS - t0)) s in all)"
rm -rf "$logs"
mkdir -p "$logs"

# The scripts that start a simulator outside ctest get namespaces of their
# own too, where tests/isolate.sh can make them.
isolated=()
if sh tests/isolate.sh probe; then
  isolated=(sh "$root/tests/isolate.sh" run --)
fi
# Builds, fuzzing and emulators: at the lowest priority.
heavy=(nice -n 19)

set -m # each phase in a process group of its own, so that a failure can stop it
declare -A pid began
failed=0

# launch NAME COMMAND...: runs COMMAND in the background, output to NAME's log.
launch() {
  local name=$1
  shift
  [ "$failed" = 0 ] || return 0
  began[$name]=$SECONDS
  echo "== $name: started (output in $logs/$name.log)"
  "$@" >"$logs/$name.log" 2>&1 </dev/null &
  pid[$name]=$!
}

# finish NAME: waits for it and prints its time, or its log when it failed.
finish() {
  local name=$1 status=0
  [ -n "${pid[$name]:-}" ] || return 0
  wait "${pid[$name]}" || status=$?
  unset "pid[$name]"
  if [ "$status" != 0 ]; then
    echo "== $name: FAILED (exit $status) after $((SECONDS - began[$name])) s; its output:"
    sed 's/^/   /' "$logs/$name.log"
    if [ "$failed" = 0 ]; then
      failed=1
      for other in "${!pid[@]}"; do
        kill -TERM -- "-${pid[$other]}" 2>/dev/null
      done
    fi
    return 0
  fi
  echo "== $name: done in $((SECONDS - began[$name])) s ($((SECONDS - t0)) s in all)"
}

build() { # build PRESET
  cmake --preset "$1" >/dev/null && "${heavy[@]}" cmake --build --preset "$1" -j "$(nproc)"
}

default_tests() {
  echo "== default: tests" && ctest --preset default &&
    "${heavy[@]}" bash scripts/test-valgrind.sh &&
    echo "== the Debian package" && "${isolated[@]}" bash scripts/test-packages.sh
}

launch default-build build default
finish default-build
launch default-tests default_tests
launch sanitize-build build sanitize
finish sanitize-build
launch sanitize-tests ctest --preset sanitize
launch tsan-build build tsan
finish tsan-build
launch linux-i386 "${heavy[@]}" bash scripts/test-linux-i386.sh
finish linux-i386
launch windows "${heavy[@]}" bash scripts/test-windows.sh
finish windows
launch fuzz "${heavy[@]}" bash scripts/test-fuzz.sh "${ORVTIW_FUZZ_SECONDS:-20}"
finish fuzz
# Last, with the builds done: the sanitizer slows the card and the gateway
# several times over, and a build beside them made a card miss its
# handshake's 250 ms.
launch tsan-tests ctest --preset tsan
finish default-tests
finish sanitize-tests
finish tsan-tests

if [ "$failed" != 0 ]; then
  echo "== FAILED after $((SECONDS - t0)) s"
  exit 1
fi
echo "== all phases: done in $((SECONDS - t0)) s"
