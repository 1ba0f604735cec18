#!/usr/bin/env bash
# The test command: sets up a fresh Debian 12 machine, builds every preset,
# checks the Windows driver image, runs the host test suites (plain,
# ASan+UBSan, TSan) and fuzzes the loaded drivers for a minute and a half.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

for preset in host host-asan host-tsan win32; do
  echo "== build $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

# win32: the checks of the built product images (imports, subsystem, code).
for preset in win32 host host-asan host-tsan; do
  echo "== test $preset"
  ctest --preset "$preset"
done

# Short, bounded fuzz runs of the loaded drivers on their seed corpora.
echo "== fuzz tonkern (60 s)"
bash scripts/fuzz.sh 60
echo "== fuzz tonwave (30 s)"
bash scripts/fuzz.sh 30 tonwave
