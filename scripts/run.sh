#!/usr/bin/env bash
# The main-job command: sets up a fresh Debian 12 machine, builds what the
# loopback needs (host preset: the stand-ins, tonkern.sys and the program)
# and runs it in real time for 5 s: a 440 Hz and a 660 Hz tone played into
# "Tonvane 1 Out" as two streams while "Tonvane 1 In" is recorded to
# build/tonvane-loopback.wav. Arguments are passed on to the program and
# override these defaults (see --help), e.g. --seconds 10 --out mix.wav;
# relative paths in them are taken from the directory run.sh is called from.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

(
  cd "$root"
  bash scripts/install-deps.sh
  cmake --preset host >/dev/null
  cmake --build --preset host --target tonvane_loopback
)

out="$root/build/tonvane-loopback.wav"
args=("$@")
for ((i = 0; i < ${#args[@]}; ++i)); do
  case "${args[i]}" in
    --out=*) out="${args[i]#--out=}" ;;
    --out) if ((i + 1 < ${#args[@]})); then out="${args[i + 1]}"; fi ;;
  esac
done

status=0
"$root/build/host/tools/loopback/tonvane-loopback" --seconds 5 \
  --out "$root/build/tonvane-loopback.wav" "$@" || status=$?
if ((status == 0)) && [[ -f "$out" ]]; then
  echo "run.sh: the recording is in $(realpath "$out")"
fi
exit "$status"
