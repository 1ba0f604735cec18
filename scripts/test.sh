#!/usr/bin/env bash
# The test command: sets up a fresh Debian 12 machine, builds every preset
# and the Windows package, checks the Windows images and the package, runs
# the host test suites (plain, ASan+UBSan, TSan) and fuzzes the loaded
# drivers for a minute and a half. Ends with the share of test code.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

for preset in host host-asan host-tsan win32 win64; do
  echo "== build $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
# The Windows package, which the win32 tests check.
cmake --build --preset win32 --target package

# win32, win64: the checks of the built product images (imports, subsystem, code).
for preset in win32 win64 host host-asan host-tsan; do
  echo "== test $preset"
  ctest --preset "$preset"
done

# Short, bounded fuzz runs of the loaded drivers on their seed corpora.
echo "== fuzz tonkern (60 s)"
bash scripts/fuzz.sh 60
echo "== fuzz tonwave (30 s)"
bash scripts/fuzz.sh 30 tonwave

# The share of test code in the C/C++ lines.
bash scripts/loc.sh | tail -n 1
