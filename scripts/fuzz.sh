#!/usr/bin/env bash
# Fuzzes a driver through the stand-in Win32 calls (clang, libFuzzer, ASan and
# UBSan) for the given number of seconds (default 60): tonkern (default),
# starting from the seed corpus in tests/fuzz/corpus, or tonwave with WinMM
# and tonkern, from tests/fuzz/wave_corpus. New inputs go to
# build/host-fuzz/corpus (wave_corpus), not into the source tree; a crashing
# input is written to build/host-fuzz/ as crash-<sha1> and the script exits
# non-zero. Replay one with
#   build/host-fuzz/tests/fuzz/tonkern_fuzzer build/host-fuzz/crash-<sha1>
# (TONKERN_FUZZ_TRACE=1 prints each op and its outcome), or the same with
# tonwave_fuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
driver="${2:-tonkern}"
case "$driver" in
  tonkern) seeds=tests/fuzz/corpus; work=build/host-fuzz/corpus; options=() ;;
  # The system stays booted across inputs, and its objects live in mappings
  # LeakSanitizer does not scan; the target checks the heap level itself.
  tonwave) seeds=tests/fuzz/wave_corpus; work=build/host-fuzz/wave_corpus; options=(-detect_leaks=0) ;;
  *) seconds=bad ;;
esac
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || ((seconds == 0)); then
  echo "usage: bash scripts/fuzz.sh [seconds] [tonkern|tonwave]   (seconds a positive whole number; default 60 tonkern)" >&2
  exit 2
fi

cmake --preset host-fuzz >/dev/null
cmake --build --preset host-fuzz

mkdir -p "$work"
# One job: the machine has two cores, and the stand-in's DPC thread uses
# the other.
"build/host-fuzz/tests/fuzz/${driver}_fuzzer" \
  -max_total_time="$seconds" \
  -timeout=30 \
  -rss_limit_mb=4096 \
  -max_len=4096 \
  -print_final_stats=1 \
  -artifact_prefix=build/host-fuzz/ \
  "${options[@]}" \
  "$work" "$seeds"
