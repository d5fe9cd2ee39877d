#!/usr/bin/env bash
# Builds the fuzz preset (clang, libFuzzer, ASan, UBSan), replays the
# committed seed corpora, then runs each fuzz target for a bounded time on
# a fresh copy of its corpus. Fails on any crash, sanitizer report, leak,
# time-out or broken invariant; the inputs that failed are kept under
# build/fuzz/findings/. The committed corpus is never changed.
#
# Seconds per target: the first argument, else ORVTIW_FUZZ_SECONDS, else 60.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-${ORVTIW_FUZZ_SECONDS:-60}}"
targets=(fuzz_init_file fuzz_address_parser fuzz_reply_path fuzz_hostile_card fuzz_gate_map fuzz_gate_request
         fuzz_edge_command)
root="$PWD"

work="$(mktemp -d "${TMPDIR:-/tmp}/orvtiw-fuzz-run-XXXXXX")"
trap 'rm -rf "$work"' EXIT
# A target that aborts leaves its private directory behind; keep those here.
export TMPDIR="$work"

echo "== fuzz: configure and build"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j 2
echo "== fuzz: seed corpora"
ctest --preset fuzz

findings="$root/build/fuzz/findings"

# One target for the given time; its exit status in $work/$target/status.
run_target() {
  local target=$1 status=0
  mkdir -p "$work/$target/corpus" "$work/$target/artifacts"
  cp "$root/tests/fuzz/corpus/$target/"* "$work/$target/corpus/"
  # Absolute paths throughout: the targets step into a directory of their
  # own while they read initialisation files.
  "$root/build/fuzz/tests/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$work/$target/artifacts/" "$work/$target/corpus" >"$work/$target/log" 2>&1 ||
    status=$?
  echo "$status" >"$work/$target/status"
}

# As many targets at a time as there are processors.
jobs=$(nproc)
echo "== fuzz: ${#targets[@]} targets for ${seconds}s each, $jobs at a time"
running=0
for target in "${targets[@]}"; do
  run_target "$target" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n
    running=$((running - 1))
  fi
done
wait

passed=0
failed=0
for target in "${targets[@]}"; do
  log="$work/$target/log"
  status=$(cat "$work/$target/status")
  stats="$(grep -E '^#[0-9]+[[:space:]]+(DONE|INITED)' "$log" | tail -1 || true)"
  execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
  echo "== fuzz: $target: ${execs:-?} runs; ${stats:-no stats}"
  if [ "$status" -ne 0 ] || grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|fuzz invariant broken' "$log" ||
     [ -n "$(ls -A "$work/$target/artifacts")" ]; then
    failed=$((failed + 1))
    mkdir -p "$findings/$target"
    cp "$log" "$findings/$target/log"
    cp "$work/$target/artifacts/"* "$findings/$target/" 2>/dev/null || true
    echo "   FAILED (exit $status); log and inputs in $findings/$target"
    grep -E -A25 'ERROR:|runtime error:|fuzz invariant broken' "$log" | head -60 || tail -40 "$log"
  else
    passed=$((passed + 1))
  fi
done

echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
