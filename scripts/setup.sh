#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks, in two sets: what building and
# the demo need, and what the tests add. Safe to run again: it installs only
# packages that are missing.
# usage: scripts/setup.sh [--build]     --build: the first set only (the demo's)
set -euo pipefail

# Building (the default preset builds the unit tests too) and the demo,
# which writes a value through orvgate with mbpoll, and publishes to a
# mosquitto it starts (orvgate's MQTT edge node: libmosquitto, libprotobuf,
# OpenSSL for its TLS handshake, nlohmann-json for the primary host's STATE),
# and orvgate's web view (cpp-httplib; npm's uPlot, built into the program).
build_packages=(cmake ninja-build g++ googletest libgtest-dev libgmock-dev libcli11-dev help2man libsystemd-dev
                libmodbus-dev mbpoll
                libmosquitto-dev libprotobuf-dev protobuf-compiler libssl-dev nlohmann-json3-dev mosquitto mosquitto-clients
                libcpp-httplib-dev pkg-config)
# The tests: the fuzz build (clang), valgrind, the Windows builds and Wine,
# the 32-bit build and its emulator, the package checks, pymodbus for the
# gateway's tests (it imports only with the serial packages beside it),
# unshare, nsenter and ip, which give the tests that use the device file or
# fixed ports namespaces of their own (tests/isolate.sh), openssl for
# the certificates of the MQTT tests, systemd-tmpfiles (systemd), which
# applies the shipped rule that links the device file in the card_link test;
# chromium (driven by npm's playwright-core, never a browser of its own) and
# prometheus for the web view's test.
test_packages=(clang libclang-rt-14-dev lld valgrind util-linux iproute2
               g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
               wine wine64
               g++-multilib qemu-user
               dpkg-dev unzip
               python3-pymodbus python3-serial python3-serial-asyncio
               openssl systemd
               chromium prometheus curl)

packages=("${build_packages[@]}")
case "${1:-}" in
  --build) ;;
  "") packages+=("${test_packages[@]}") ;;
  *) echo "usage: $0 [--build]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "setup: all packages present"
fi

# npm packages, each exactly as its lock file has it, with the machine's
# Node.js: the web view's chart library (built into orvgate, so the build
# needs it), and for the tests the MQTT decoder (sparkplug-payload) and the
# browser driver (playwright-core, which drives Debian's chromium).
npm_install() { # DIR WHAT
  if ! cmp -s "$1/package-lock.json" "$1/node_modules/.installed-lock.json"; then
    echo "setup: installing $2 (npm ci)"
    npm ci --prefix "$1" --no-audit --no-fund --loglevel=error
    cp "$1/package-lock.json" "$1/node_modules/.installed-lock.json"
  fi
}
root="$(dirname "$0")/.."
npm_install "$root/tools/orvgate/web" "the web view's chart library"
if [ "${1:-}" != "--build" ]; then
  npm_install "$root/tests/integration/mqtt/decoder" "the MQTT tests' decoder"
  npm_install "$root/tests/integration/web/browser" "the web view test's browser driver"
fi
