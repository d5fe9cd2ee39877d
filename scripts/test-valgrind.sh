#!/usr/bin/env bash
# Runs the unit suite of the default build under valgrind's memcheck: an
# invalid access, a use of uninitialised memory or a leak fails the run.
# Builds the default preset first when its unit test program is missing.
# The build directory can be changed with ORVTIW_VALGRIND_BUILD.
set -euo pipefail
cd "$(dirname "$0")/.."

build="${ORVTIW_VALGRIND_BUILD:-build/default}"
program="$build/tests/orvtiw_unit_tests"
if [ ! -x "$program" ]; then
  cmake --preset default >/dev/null
  cmake --build --preset default -j 2
fi

echo "== valgrind: $program"
valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect,possible \
  --track-origins=yes --quiet "$program" --gtest_brief=1
