#!/usr/bin/env bash
# Soak run: orvtiw_soak drives the driver module against its own tiwaysim,
# switching faults on and off at random (the seed is printed; --seed N
# repeats a run), and checks every value it reads against what it wrote.
#
#   scripts/soak.sh --short   3,000 operations, a minute or two (a ctest case, label soak)
#   scripts/soak.sh --long    100,000 operations, a fault episode every 250 on average, about 20 to 30 minutes
#
# With --gate it runs orvgate_soak instead: orvgate and its own tiwaysim
# under 16 Modbus clients reading and writing mixed ranges, every value
# read checked against what was last written, orvgate's resident memory
# sampled each second: 30 s with --short (a ctest case, orvgate_load),
# 10 minutes with --long, which injects a fault every 20 s meanwhile (the
# cards' simulator restarted, a secondary disconnected, a slowed card with
# clients that give up on their writes).
#
# Options after the mode go to the program: orvtiw_soak (--seed N,
# --fault-every N, --timeout-units N, --verbose) or orvgate_soak (--seed N,
# --clients N, --rss-growth-kb N). --binary PATH picks the program; without it
# the one of the default build (build/default) is used, built first if
# missing. The program serves the device path its build was made with, so
# nothing else may serve that path meanwhile (ctest's integration fixture
# included).
set -euo pipefail
cd "$(dirname "$0")/.."

mode=short
gate=0
binary=
args=()
while [ $# -gt 0 ]; do
    case $1 in
    --short) mode=short ;;
    --long) mode=long ;;
    --gate) gate=1 ;;
    --binary)
        binary=$2
        shift
        ;;
    *) args+=("$1") ;;
    esac
    shift
done

program=orvtiw_soak
[ "$gate" = 1 ] && program=orvgate_soak
if [ -z "$binary" ]; then
    binary=build/default/tools/soak/$program
    if [ ! -x "$binary" ]; then
        cmake --preset default >/dev/null
        cmake --build --preset default --target "$program"
    fi
fi

case $mode/$gate in
short/0) set -- --operations 3000 --max-seconds 360 ;;
long/0) set -- --operations 100000 --fault-every 250 --max-seconds 5400 ;;
short/1) set -- --seconds 30 ;;
long/1) set -- --seconds 600 --faults ;;
esac
exec "$binary" "$@" ${args[@]+"${args[@]}"}
