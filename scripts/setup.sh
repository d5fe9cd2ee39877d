#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test the project.
# Safe to run again: it installs only packages that are missing.
set -euo pipefail

packages=(cmake ninja-build g++ clang libclang-rt-14-dev lld googletest libgtest-dev libgmock-dev
          libbenchmark-dev valgrind python3
          g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
          wine wine64
          g++-multilib qemu-user
          libmodbus-dev libcli11-dev mbpoll
          # test-only: the gateway's tests talk to it through pymodbus, which
          # imports only with the serial packages beside it
          python3-pymodbus python3-serial python3-serial-asyncio)

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
