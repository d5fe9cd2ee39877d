#!/usr/bin/env bash
# Builds the Windows module with MinGW-w64 for i686 and x86_64 and checks it.
# This kind of machine cannot run 32-bit programs, so the i686 build (the one
# hosts load) is checked by compiling, by its static asserts and by reading
# its export and import tables; the x86_64 build runs its unit tests and a
# LoadLibrary smoke test under wine64, in a Wine prefix of this run's own.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

jobs=$(nproc)
wine64=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || echo wineserver)

passed=()
failed=()
work=$(mktemp -d)
export WINEPREFIX="$work/wineprefix"
export WINEDEBUG=-all
# No Mono or Gecko: nothing here needs them, and their installers would prompt.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

cleanup() {
  if [ -d "$WINEPREFIX" ]; then
    "$wineserver" -k >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# check NAME COMMAND...: runs one check, prints it gtest-style, records it.
check() {
  local name=$1
  shift
  echo "[ RUN      ] $name"
  local start=$SECONDS
  if "$@"; then
    echo "[       OK ] $name ($((SECONDS - start)) s)"
    passed+=("$name")
  else
    echo "[  FAILED  ] $name ($((SECONDS - start)) s)"
    failed+=("$name")
  fi
}

built=" "

build() {
  local preset=$1
  local log="$work/build-$preset.log"
  if cmake --preset "$preset" >"$log" 2>&1 && cmake --build --preset "$preset" -j "$jobs" >>"$log" 2>&1; then
    built+="$preset "
    return 0
  fi
  tail -n 40 "$log" | sed 's/^/    /'
  return 1
}

# after_build PRESET COMMAND...: runs COMMAND only on this run's own build,
# so a failed build never passes its checks with files left from an earlier one.
after_build() {
  local preset=$1
  shift
  if [[ $built != *" $preset "* ]]; then
    echo "    not run: the $preset build failed"
    return 1
  fi
  "$@"
}

# --- reading PE tables -----------------------------------------------------

objdump_for() { # objdump_for PRESET
  case $1 in
    mingw-i686) echo i686-w64-mingw32-objdump ;;
    *) echo x86_64-w64-mingw32-objdump ;;
  esac
}

# The names in the export table, one a line.
pe_exports() { # pe_exports OBJDUMP FILE
  "$1" -p "$2" | awk '/^\[Ordinal\/Name Pointer\] Table/ {on = 1; next}
                      on && /^[[:space:]]*\[ *[0-9]+\]/ {print $NF; next}
                      on {on = 0}'
}

# "DLL<TAB>name" for every imported name.
pe_imports() { # pe_imports OBJDUMP FILE
  "$1" -p "$2" | awk '/DLL Name:/ {dll = $3; next}
                      dll != "" && /^[[:space:]]*[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+[^[:space:]]+$/ {print dll "\t" $3; next}
                      dll != "" && !/vma:|^[[:space:]]*$/ {dll = ""}'
}

exports_only_orvmain() { # PRESET
  local dll="build/$1/bin/OrvTiw.dll" names
  names=$(pe_exports "$(objdump_for "$1")" "$dll") || return 1
  echo "    exports: ${names//$'\n'/ }"
  [ "$names" = "OrvMain" ]
}

imports_err_from_kelmar() { # PRESET
  local dll="build/$1/bin/OrvTiw.dll" found
  found=$(pe_imports "$(objdump_for "$1")" "$dll" | awk -F'\t' 'tolower($1) == "kelmar.dll"')
  echo "    from KELMAR.dll: $(echo "$found" | cut -f2 | tr '\n' ' ')"
  [ "$(echo "$found" | cut -f2)" = "err" ]
}

# Only KELMAR.dll and DLLs that every Windows has: the compiler's runtime
# (libstdc++, libgcc, winpthread) must be linked in.
depends_on_system_dlls_only() { # PRESET FILE [extra allowed DLL]
  local file="build/$1/bin/$2" allowed_extra=${3:-} dlls bad=0 d
  dlls=$("$(objdump_for "$1")" -p "$file" | awk '/DLL Name:/ {print $3}' | sort -u)
  echo "    $2 loads: ${dlls//$'\n'/ }"
  [ -n "$dlls" ] || return 1
  for d in $dlls; do
    case ${d,,} in
      kernel32.dll | msvcrt.dll | api-ms-win-*) ;;
      *) if [ "${d,,}" != "${allowed_extra,,}" ]; then echo "    not allowed: $d"; bad=1; fi ;;
    esac
  done
  return $bad
}

kelmar_exports_err() { # PRESET
  local names
  names=$(pe_exports "$(objdump_for "$1")" "build/$1/bin/KELMAR.dll") || return 1
  echo "    KELMAR.dll exports: ${names//$'\n'/ }"
  grep -qx err <<<"$names"
}

# orvhost.exe holds the system timer at 1 ms while a channel is open; the
# driver sets no timer of its own.
imports_timer_resolution() { # PRESET
  local found
  found=$(pe_imports "$(objdump_for "$1")" "build/$1/bin/orvhost.exe" |
          awk -F'\t' 'tolower($1) == "winmm.dll" {print $2}' | sort | tr '\n' ' ')
  echo "    orvhost.exe from WINMM.dll: $found"
  [ "$found" = "timeBeginPeriod timeEndPeriod " ] &&
    ! pe_imports "$(objdump_for "$1")" "build/$1/bin/OrvTiw.dll" | grep -qi '^winmm.dll'
}

# The 32-bit set as it ships: a zip of OrvTiw.dll, KELMAR.dll, orvhost.exe
# and the README in one folder, whose OrvTiw.dll is an i686 DLL exporting
# OrvMain only.
windows_zip() {
  local log="$work/cpack.log" zip names unpacked="$work/zip"
  rm -rf build/mingw-i686/packages
  (cd build/mingw-i686 && cpack -G ZIP) >"$log" 2>&1 || { tail -n 20 "$log" | sed 's/^/    /'; return 1; }
  zip=$(ls build/mingw-i686/packages/orvtiw-*-win32.zip) || return 1
  names=$(unzip -Z1 "$zip" | grep -v '/$' | sed 's#^[^/]*/##' | sort | tr '\n' ' ')
  echo "    $(basename "$zip"): $names"
  [ "$names" = "KELMAR.dll OrvTiw.dll README.md orvhost.exe " ] || return 1
  unzip -q -d "$unpacked" "$zip" || return 1
  local dll
  dll=$(find "$unpacked" -name OrvTiw.dll)
  i686-w64-mingw32-objdump -f "$dll" | grep -q "file format pei-i386" &&
    [ "$(pe_exports i686-w64-mingw32-objdump "$dll")" = "OrvMain" ]
}

is_pe_for() { # PRESET FORMAT
  "$(objdump_for "$1")" -f "build/$1/bin/OrvTiw.dll" | grep -q "file format $2"
}

# --- running under wine64 ----------------------------------------------------

wine_prefix() {
  if [ ! -x "$wine64" ]; then
    echo "    $wine64 is missing (package wine64; scripts/setup.sh installs it)"
    return 1
  fi
  "$wine64" wineboot --init >"$work/wineboot.log" 2>&1
  [ -d "$WINEPREFIX/drive_c/windows/system32" ]
}

gtest_program() { # gtest_program EXE: runs a GoogleTest program of the x86_64 build
  local name=$1 run="$work/$1" log="$work/$1.log" rc
  mkdir -p "$run"
  (cd "$run" && timeout 300 "$wine64" "$root/build/mingw-x86_64/bin/$name.exe" --gtest_color=no) >"$log" 2>&1
  rc=$?
  grep -E '^\[ *(FAILED|PASSED) *\]|^\[==========\] [0-9]+ tests? from' "$log" | sed 's/^/    /'
  if [ $rc -ne 0 ]; then
    echo "    exit status $rc; last lines:"
    tail -n 30 "$log" | sed 's/^/    /'
  fi
  [ $rc -eq 0 ] && grep -q '^\[  PASSED  \]' "$log"
}

smoke_test() {
  local run="$work/smoke" rc
  mkdir -p "$run"
  (cd "$run" && timeout 120 "$wine64" "$root/build/mingw-x86_64/bin/orvtiw_smoke.exe") >"$work/smoke.log" 2>&1
  rc=$?
  sed 's/^/    /' "$work/smoke.log"
  [ $rc -eq 0 ]
}

orvhost_info() {
  local exe="$root/build/mingw-x86_64/bin/orvhost.exe" run="$work/orvhost" rc
  mkdir -p "$run"
  (cd "$run" && timeout 120 "$wine64" "$exe" info) >"$work/orvhost.log" 2>&1
  rc=$?
  sed 's/^/    /' "$work/orvhost.log"
  [ $rc -eq 0 ] && grep -q "TW TIWAY Host Adapter" "$work/orvhost.log"
}

# --- the run -----------------------------------------------------------------

echo "[==========] Windows builds and checks"
check "mingw-i686: configure and build (static asserts of the host records)" build mingw-i686
check "mingw-i686: OrvTiw.dll is a 32-bit x86 PE" after_build mingw-i686 is_pe_for mingw-i686 pei-i386
check "mingw-i686: OrvTiw.dll exports OrvMain, undecorated, and nothing else" after_build mingw-i686 exports_only_orvmain mingw-i686
check "mingw-i686: OrvTiw.dll imports err by name from KELMAR.dll" after_build mingw-i686 imports_err_from_kelmar mingw-i686
check "mingw-i686: OrvTiw.dll loads only KELMAR.dll and system DLLs" after_build mingw-i686 \
  depends_on_system_dlls_only mingw-i686 OrvTiw.dll KELMAR.dll
check "mingw-i686: KELMAR.dll exports err; it and orvhost.exe load only system DLLs" after_build mingw-i686 \
  eval 'kelmar_exports_err mingw-i686 && depends_on_system_dlls_only mingw-i686 KELMAR.dll &&
        depends_on_system_dlls_only mingw-i686 orvhost.exe winmm.dll'
check "mingw-i686: orvhost.exe imports timeBeginPeriod and timeEndPeriod; OrvTiw.dll sets no timer" after_build mingw-i686 \
  imports_timer_resolution mingw-i686
check "mingw-i686: the zip holds OrvTiw.dll (i686, exporting OrvMain only), KELMAR.dll, orvhost.exe, README" \
  after_build mingw-i686 windows_zip

check "mingw-x86_64: configure and build" build mingw-x86_64
check "mingw-x86_64: OrvTiw.dll exports OrvMain and nothing else" after_build mingw-x86_64 exports_only_orvmain mingw-x86_64
check "mingw-x86_64: OrvTiw.dll imports err by name from KELMAR.dll" after_build mingw-x86_64 imports_err_from_kelmar mingw-x86_64
check "mingw-x86_64: OrvTiw.dll, KELMAR.dll, orvhost.exe and the test programs load only system DLLs (and KELMAR.dll)" after_build mingw-x86_64 \
  eval 'depends_on_system_dlls_only mingw-x86_64 OrvTiw.dll KELMAR.dll &&
        depends_on_system_dlls_only mingw-x86_64 KELMAR.dll &&
        depends_on_system_dlls_only mingw-x86_64 orvtiw_unit_tests.exe KELMAR.dll &&
        depends_on_system_dlls_only mingw-x86_64 orvtiw_windows_tests.exe KELMAR.dll &&
        depends_on_system_dlls_only mingw-x86_64 orvtiw_smoke.exe &&
        depends_on_system_dlls_only mingw-x86_64 orvhost.exe winmm.dll'
check "mingw-x86_64: orvhost.exe imports timeBeginPeriod and timeEndPeriod; OrvTiw.dll sets no timer" after_build mingw-x86_64 \
  imports_timer_resolution mingw-x86_64
check "wine64: a fresh prefix of this run's own" wine_prefix
check "wine64: unit tests (orvtiw_unit_tests.exe)" after_build mingw-x86_64 gtest_program orvtiw_unit_tests
check "wine64: kernel32 and KELMAR.dll bindings (orvtiw_windows_tests.exe)" \
  after_build mingw-x86_64 gtest_program orvtiw_windows_tests
check "wine64: LoadLibrary smoke test: operation 14, cold start without the kernel driver" after_build mingw-x86_64 smoke_test
check "wine64: orvhost.exe info loads KELMAR.dll and OrvTiw.dll and names the driver" \
  after_build mingw-x86_64 orvhost_info

total=$((${#passed[@]} + ${#failed[@]}))
echo "[==========] $total Windows checks ran."
echo "[  PASSED  ] ${#passed[@]} checks."
if [ ${#failed[@]} -gt 0 ]; then
  echo "[  FAILED  ] ${#failed[@]} checks, listed below:"
  for name in "${failed[@]}"; do
    echo "[  FAILED  ] $name"
  done
  exit 1
fi
exit 0
