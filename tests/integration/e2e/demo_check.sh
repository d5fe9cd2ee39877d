#!/usr/bin/env bash
# The demo, and then what it printed held against what it ran: every line
# that starts with "$ " must be a command it ran as that very text, in that
# order, and each must have succeeded, or failed with the status its own
# comment gives ("# exits 1: ...").
# usage: demo_check.sh DEMO_ARGUMENTS...
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bash "$(dirname "$0")/../../../scripts/demo.sh" --transcript "$work/ran" "$@" | tee "$work/printed"

sed -n 's/^\$ //p' "$work/printed" >"$work/shown"
cut -f2- "$work/ran" >"$work/run"
diff "$work/shown" "$work/run" || { echo "demo_check: the commands printed are not those run (above)"; exit 1; }
awk -F'\t' '$1 != "0" && $1 != "-" && index($2, "# exits " $1 ":") == 0 { print; bad = 1 } END { exit bad }' \
    "$work/ran" || { echo "demo_check: these commands failed without saying they would"; exit 1; }
echo "demo_check: $(wc -l <"$work/run") commands printed, each run as printed"
