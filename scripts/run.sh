#!/usr/bin/env bash
# The main-job command: sets up a fresh Debian 12 machine, builds what the
# loopback needs (host preset: the stand-ins, tonkern.sys, tonwave.dll and
# the program) and runs it in real time for 5 s: the host system boots with
# Tonvane installed, two WinMM player processes play a 440 Hz and a 660 Hz
# tone into "Tonvane 1 Out" and a recorder process records "Tonvane 1 In"
# to build/tonvane-loopback.wav. sox then draws the recording's spectrogram
# beside it (same name, .png). Arguments are passed on to the program and
# override these defaults (see --help), e.g. --seconds 10 --out mix.wav;
# relative paths in them are taken from the directory run.sh is called from.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

(
  cd "$root"
  bash scripts/install-deps.sh sox
  cmake --preset host >/dev/null
  cmake --build --preset host --target tonvane_loopback
)

out="$root/build/tonvane-loopback.wav"
args=("$@")
for ((i = 0; i < ${#args[@]}; ++i)); do
  case "${args[i]}" in
    --out=*) out="${args[i]#--out=}" ;;
    --out) if ((i + 1 < ${#args[@]})); then out="${args[i + 1]}"; fi ;;
    --help) exec "$root/build/host/tools/loopback/tonvane-loopback" --help ;;
  esac
done

status=0
"$root/build/host/tools/loopback/tonvane-loopback" --seconds 5 \
  --out "$root/build/tonvane-loopback.wav" "$@" || status=$?
if ((status == 0)) && [[ -f "$out" ]]; then
  wav="$(realpath "$out")"
  png="${wav%.*}.png"
  sox "$wav" -n spectrogram -t "Tonvane 1 In: $(basename "$wav")" -o "$png"
  echo "run.sh: the recording is in $wav, its spectrogram in $png"
fi
exit "$status"
