#!/usr/bin/env bash
# The Debian package of the default build, as a user gets it: it holds every
# file the README's "Installing" section lists, and unpacked into a fresh
# directory it serves the example host: built against the package's CMake
# files, run against the package's own tiwaysim; installed with apt in a
# throwaway root, it makes the orvgate user, puts the units where systemd
# finds them and the configuration in /etc/orvgate, and its units' commands
# serve; purged, it takes them away. (The Windows zip is checked by
# scripts/test-windows.sh.)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/default
work=$(mktemp -d)
sim=
cleanup() {
  if [ -n "$sim" ]; then kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "== package: cpack -G DEB"
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB) >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$build"/packages/orvtiw_*.deb)
echo "   $(basename "$deb"): $(du -k "$deb" | cut -f1) kB"

echo "== package: the files the README lists"
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's#^\./#/#' | sort >"$work/contents"
sed -n '/^<!-- package contents -->$/,/^<!-- end of package contents -->$/p' README.md |
  awk '/^\// {print $1}' | sort >"$work/listed"
[ -s "$work/listed" ] || { echo "no file list in README.md"; exit 1; }
missing=$(comm -23 "$work/listed" "$work/contents")
if [ -n "$missing" ]; then
  echo "listed in README.md but not in the package:"
  echo "$missing"
  exit 1
fi
echo "   $(wc -l <"$work/listed") listed files, all in the package"

echo "== package: it depends on the libraries orvgate links"
depends=$(dpkg-deb -f "$deb" Depends)
echo "   Depends: $depends"
for library in libmodbus libmosquitto libprotobuf-lite; do
  case "$depends" in
  *"$library"*) ;;
  *) echo "the package does not depend on $library"; exit 1 ;;
  esac
done

echo "== package: the example host built against it, reading from its tiwaysim"
dpkg-deb -x "$deb" "$work/root"
cmake -S examples/read_gate -B "$work/example" -G Ninja -DCMAKE_PREFIX_PATH="$work/root/usr" >"$work/configure.log" ||
  { cat "$work/configure.log"; exit 1; }
cmake --build "$work/example" >"$work/build.log" || { cat "$work/build.log"; exit 1; }
"$work/root/usr/bin/tiwaysim" --config tests/integration/e2e/plant_network.conf --configured --remove-device \
  --ready-file "$work/ready" >"$work/tiwaysim.log" 2>&1 &
sim=$!
for _ in $(seq 100); do [ -s "$work/ready" ] && break; sleep 0.1; done
[ -s "$work/ready" ] || { echo "the package's tiwaysim did not get ready"; cat "$work/tiwaysim.log"; exit 1; }
out=$("$work/example/read_gate" 01V012C)
echo "   $out"
[ "$out" = "01V012C = -32768" ]
kill "$sim"
wait "$sim" || true
sim=
echo "== package: its configuration files"
dpkg-deb -e "$deb" "$work/control"
diff <(sort "$work/control/conffiles") <(grep '^/etc/.*[^/]$' "$work/contents") ||
  { echo "the package's conffiles are not its files under /etc"; exit 1; }
echo "   conffiles: $(tr '\n' ' ' <"$work/control/conffiles")"

# Installed for real: `apt install ./orvtiw_*.deb` in a throwaway root, an
# overlay of this machine's own root in a mount and network namespace of
# its own (with a private /dev/shm). A root made by debootstrap took 104 s
# here and needs Debian's mirror, from which apt would then fetch the
# libraries too; this one has them already, and the whole step takes 25 to
# 40 s (an idle machine, a loaded one). Then the two units' own commands
# are run as the user they name, and the package is purged.
echo "== package: apt install in a throwaway root, the units' commands run as their user, purge"
if [ "$(id -u)" != 0 ] || ! command -v unshare >/dev/null; then
  echo "   skipped: a mount namespace needs root and unshare"
else
  cp "$deb" "$work/orvtiw.deb"
  started=$SECONDS
  unshare --mount --net --fork bash -s "$work" <<'INSTALL' || { echo "the installed package failed its checks"; exit 1; }
set -euo pipefail
work=$1
root=$work/overlay/root
mkdir -p "$work/overlay"
mount -t tmpfs tmpfs "$work/overlay"
mkdir "$work/overlay/upper" "$work/overlay/work" "$root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$work/overlay/upper,workdir=$work/overlay/work" "$root"
mount --rbind /dev "$root/dev"
mount -t tmpfs tmpfs "$root/dev/shm"
mount -t proc proc "$root/proc"
mount -t tmpfs tmpfs "$root/tmp"
ip link set lo up
cp "$work/orvtiw.deb" "$root/tmp/"
in_root() { chroot "$root" "$@"; }
fail() { echo "   $*"; exit 1; }
if in_root dpkg -s orvtiw >/dev/null 2>&1; then
  in_root dpkg --purge orvtiw >/dev/null
fi
! in_root getent passwd orvgate >/dev/null || fail "the root had an orvgate user before the install"
in_root apt-get install -y -q --no-install-recommends /tmp/orvtiw.deb >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; fail "apt install failed"; }
in_root getent passwd orvgate | grep -q ':/usr/sbin/nologin$' || fail "no system user orvgate"
echo "   user: $(in_root getent passwd orvgate)"
for unit in orvgate tiwaysim; do
  [ -f "$root/usr/lib/systemd/system/$unit.service" ] || fail "no $unit.service where systemd looks"
  [ ! -e "$root/etc/systemd/system/multi-user.target.wants/$unit.service" ] || fail "$unit.service was enabled"
done
grep -qx 'Type=notify' "$root/usr/lib/systemd/system/orvgate.service" || fail "orvgate.service is not Type=notify"
in_root systemd-analyze verify /usr/lib/systemd/system/orvgate.service /usr/lib/systemd/system/tiwaysim.service ||
  fail "systemd-analyze verify refused the units"
for f in plant.map plant01.int plant02.int; do [ -f "$root/etc/orvgate/$f" ] || fail "no /etc/orvgate/$f"; done
for readme in README.md tools/orvgate/README.md tools/orvhost/README.md sim/README.md; do
  [ -s "$root/usr/share/doc/orvtiw/$readme" ] || fail "no /usr/share/doc/orvtiw/$readme"
done
echo "   units in /usr/lib/systemd/system (not enabled, verified), /etc/orvgate, the READMEs: there"

# The units' commands, as their user, as systemd would run them.
# The first KEY= line of the unit, its continuation lines joined.
unit_line() {
  awk -v key="$2=" 'index($0, key) == 1 { on = 1; $0 = substr($0, length(key) + 1) }
    on { line = line $0; if (!sub(/\\$/, "", line)) { print line; exit } }' "$root/usr/lib/systemd/system/$1.service"
}
as_user=(chroot "$root" setpriv --reuid=orvgate --regid=orvgate --init-groups)
in_root install -d -o orvgate -g orvgate /run/tiwaysim # its RuntimeDirectory=
"${as_user[@]}" $(unit_line tiwaysim ExecStart) >"$work/tiwaysim.log" 2>&1 &
sim=$!
eval "${as_user[*]} $(unit_line tiwaysim ExecStartPost)" || fail "tiwaysim did not get ready: $(cat "$work/tiwaysim.log")"
"${as_user[@]}" $(unit_line orvgate ExecStart) >"$work/orvgate.log" 2>&1 &
gate=$!
for _ in $(seq 100); do grep -qs "serving Modbus TCP" "$work/orvgate.log" && break; sleep 0.1; done
# X1..X3 of secondary 1 as example_network.conf sets them: 1 0 1.
value=$(in_root mbpoll -m tcp -a 1 -0 -r 0 -c 3 -t 1 -1 -p 1502 127.0.0.1 2>&1 |
  sed -n 's/^\[[0-9]\]:[[:space:]]*//p' | tr '\n' ' ')
kill "$gate" "$sim"
wait "$gate" || fail "orvgate did not stop cleanly: $(cat "$work/orvgate.log")"
wait "$sim" || true
[ "$value" = "1 0 1 " ] || fail "orvgate as its unit runs it did not serve X1..X3 (read '$value'): $(cat "$work/orvgate.log")"
echo "   orvgate and tiwaysim as their units run them: X1..X3 of secondary 1 read through the gateway"

in_root dpkg --purge orvtiw >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "purge failed"; }
! in_root getent passwd orvgate >/dev/null || fail "the orvgate user outlived the purge"
[ ! -e "$root/etc/orvgate" ] || fail "/etc/orvgate outlived the purge"
echo "   purged: no orvgate user, no /etc/orvgate"
INSTALL
  echo "   ($((SECONDS - started)) s)"
fi
echo "== package: ok"
