#!/bin/sh
# Namespaces of their own for the tests that use the build's device file or
# fixed TCP ports, so that such tests run side by side: a private tmpfs on
# /dev/shm (where the device file lives), a loopback interface of their own,
# and a process namespace whose end takes every process started in it along,
# a simulator left behind by a crashed test included. It needs root (or the
# capabilities unshare needs); cmake/DeviceTests.cmake runs `probe` at
# configure time and registers the tests through this script only when it
# succeeds.
#
# usage: isolate.sh probe
#        isolate.sh run -- COMMAND...         COMMAND in namespaces of its own
#        isolate.sh open DIR -- COMMAND...    namespaces for a fixture, kept in DIR, held until
#                                             `close` or until the caller's parent (ctest) ends;
#                                             COMMAND (the fixture's start) in them
#        isolate.sh enter DIR -- COMMAND...   COMMAND in the fixture's namespaces
#        isolate.sh close DIR -- COMMAND...   COMMAND (the fixture's stop) in them, then ends them
# Each prints what failed and exits non-zero when the namespaces cannot be
# made or are gone; otherwise it exits with COMMAND's status.
set -u
self=$0

# The first steps inside new namespaces: a private /dev/shm and loopback.
private='mount -t tmpfs -o mode=1777,size=256m orvtiw-test /dev/shm && ip link set lo up'
new_namespaces="unshare --mount --net --pid --fork --mount-proc --kill-child"

die() {
    echo "isolate.sh: $*" >&2
    exit 125
}

usage() {
    sed -n '/^# usage:/,/^# Each prints/p' "$self" | sed '$d; s/^# \{0,1\}//' >&2
    exit 2
}

# The unshare process that holds a fixture's namespaces; its pid is in DIR.
holder_of() {
    [ -s "$1/namespace" ] || die "no namespaces in $1 (did the fixture's start run?)"
    pid=$(cat "$1/namespace")
    kill -0 "$pid" 2>/dev/null || die "the namespaces in $1 are gone (process $pid ended)"
    echo "$pid"
}

enter() {
    pid=$1
    shift
    # --wd: entering a mount namespace would otherwise start COMMAND in /.
    exec nsenter --target "$pid" --mount --net --pid="/proc/$pid/ns/pid_for_children" --wd="$PWD" -- "$@"
}

[ $# -ge 1 ] || usage
mode=$1
shift
case $mode in
probe)
    # Everything `run` needs, and that the private /dev/shm is empty.
    exec $new_namespaces sh -c "$private && [ -z \"\$(ls -A /dev/shm)\" ] && ip -o link show lo | grep -q UP" \
        </dev/null >/dev/null 2>&1
    ;;
run)
    [ "${1:-}" = -- ] && shift
    [ $# -ge 1 ] || usage
    # COMMAND runs as a child of the namespace's first process, not as that
    # process itself, so that it keeps the default signal handling and
    # every orphan is reaped; once it ends, the namespace ends.
    exec $new_namespaces sh -c "$private || exit 125; \"\$@\"; exit \$?" isolate "$@"
    ;;
open)
    [ $# -ge 1 ] || usage
    dir=$1
    shift
    [ "${1:-}" = -- ] && shift
    [ $# -ge 1 ] || usage
    mkdir -p "$dir" || die "cannot make $dir"
    rm -f "$dir/namespace" "$dir/namespace.ready"
    # The holder outlives this script (ctest runs the fixture's tests later)
    # but not the ctest run that started it, however that run ends.
    setsid sh "$self" hold "$dir" "$PPID" </dev/null >/dev/null 2>&1 &
    tries=0
    while [ ! -s "$dir/namespace" ]; do
        tries=$((tries + 1))
        [ "$tries" -le 100 ] || die "the namespaces in $dir did not come up within 10 s"
        sleep 0.1
    done
    pid=$(holder_of "$dir") || exit 125
    enter "$pid" "$@"
    ;;
hold)
    # Internal: holds a fixture's namespaces for `open`.
    dir=$1
    owner=$2
    $new_namespaces sh -c "$private && : >\"\$1/namespace.ready\" && exec sleep infinity" hold "$dir" &
    pid=$!
    while [ ! -e "$dir/namespace.ready" ] && kill -0 "$pid" 2>/dev/null; do
        sleep 0.05
    done
    [ -e "$dir/namespace.ready" ] || exit 1
    echo "$pid" >"$dir/namespace.new" && mv "$dir/namespace.new" "$dir/namespace"
    # Until `close` takes the file away, or the owner ends.
    while kill -0 "$owner" 2>/dev/null && [ "$(cat "$dir/namespace" 2>/dev/null)" = "$pid" ]; do
        sleep 1
    done
    # --kill-child: the namespace's first process, and with it every
    # process in the namespace, ends with the unshare process.
    kill -KILL "$pid" 2>/dev/null
    wait "$pid"
    rm -f "$dir/namespace.ready"
    ;;
enter)
    [ $# -ge 1 ] || usage
    dir=$1
    shift
    [ "${1:-}" = -- ] && shift
    [ $# -ge 1 ] || usage
    pid=$(holder_of "$dir") || exit 125
    enter "$pid" "$@"
    ;;
close)
    [ $# -ge 1 ] || usage
    dir=$1
    shift
    [ "${1:-}" = -- ] && shift
    [ $# -ge 1 ] || usage
    pid=$(holder_of "$dir") || exit 125
    nsenter --target "$pid" --mount --net --pid="/proc/$pid/ns/pid_for_children" --wd="$PWD" -- "$@"
    status=$?
    rm -f "$dir/namespace"
    kill -KILL "$pid" 2>/dev/null
    exit "$status"
    ;;
*)
    usage
    ;;
esac
