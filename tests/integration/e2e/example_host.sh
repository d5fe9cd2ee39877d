#!/usr/bin/env bash
# The example host as a user builds it: this build installed into a fresh
# prefix, examples/read_gate configured against it with find_package(OrvTiw)
# and built, then run against the plant network's simulator, whose V300
# holds -32768 from the start.
# usage: example_host.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >"$work/install.log"
cmake -S "$source/examples/read_gate" -B "$work/example" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" \
    >"$work/configure.log" || { cat "$work/configure.log"; exit 1; }
cmake --build "$work/example" >"$work/build.log" || { cat "$work/build.log"; exit 1; }

out=$("$work/example/read_gate" 01V012C)
echo "$out"
[ "$out" = "01V012C = -32768" ]
