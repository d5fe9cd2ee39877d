#!/usr/bin/env bash
# The Debian package of the default build, as a user gets it: it holds every
# file the README's "Installing" section lists, and unpacked into a fresh
# directory it serves the example host: built against the package's CMake
# files, run against the package's own tiwaysim. (The Windows zip is checked
# by scripts/test-windows.sh.)
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
echo "== package: ok"
