#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks for building and testing
# Tonvane, and any packages named as arguments (what one script alone needs).
# Skips packages that are present; runs `apt-get update` at most once.
set -euo pipefail

packages=(
  g++ cmake ninja-build
  libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
  python3
  clang libclang-rt-14-dev
  "$@"
)

missing=()
for pkg in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done

if ((${#missing[@]})); then
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
