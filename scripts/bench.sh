#!/usr/bin/env bash
# Builds the benchmark in its own Release build and runs it; arguments go to
# orvtiw_bench (--short for the quick check that fails only on a gross
# regression). With --gate first, orvgate_bench instead: the gateway's scan
# cycle and its clients' latency (also with --short). With --build-only
# (first, or after --gate), it builds the program without running it. Its
# own device path keeps its simulator apart from the simulators of the
# other builds and their tests.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/bench
program=orvtiw_bench
if [ "${1:-}" = --gate ]; then
  program=orvgate_bench
  shift
fi
build_only=0
if [ "${1:-}" = --build-only ]; then
  build_only=1
  shift
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVTIW_WERROR=ON \
  -DORVTIW_DEVICE_PATH=/dev/shm/GRELMIN-bench -DORVGATE_TEST_PORT_BASE=15220 >/dev/null
# Only what the benchmark needs, at most two jobs: the machine is shared.
cmake --build "$build" -j2 --target "$program"
[ "$build_only" = 0 ] || exit 0
echo "machine: $(nproc) processors, $(lscpu | sed -n 's/^Model name:[[:space:]]*//p'), kernel $(uname -r)"
echo "before the run:$(uptime | sed 's/.*,  *load/ load/')"
exec "$build/bench/$program" "$@"
