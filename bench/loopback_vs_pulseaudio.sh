#!/usr/bin/env bash
# Whole-stack cost, side by side with PulseAudio, on this machine. A
# benchmark, not a test: it prints figures and judges nothing.
#
#  - Tonvane: tonvane-loopback with 8 player and 8 recorder processes at
#    48 kHz 16-bit stereo for 10 s in real time, through WinMM, tonwave and
#    tonkern on the host system. CPU seconds of the streaming, from /proc:
#    the stand-in kernel's clock and DPC threads (kernel side) and the
#    applications' threads with tonwave's completion threads (clients). The
#    run's own thread, which checks all 8 recordings, is shown apart.
#  - PulseAudio: a private daemon (pulseaudio -n, its own runtime directory,
#    one null sink), 8 pacat players of a tone and 8 parec recorders of the
#    sink's monitor, all at 100 ms latency, for 10 s. CPU seconds from /proc:
#    the daemon's over the same window, the clients' over their lives.
#
# Each side runs --repeats times (default 3), alternating; the table gives
# every repeat, the minimum and the median of the totals, and the ratio
# Tonvane/PulseAudio of each. Then the share of tonwave's handshake in one
# small waveOutWrite (wave_message_bench), and the virtual-time throughput:
# seconds of 8 + 8 audio moved per CPU second.
#
# Usage: bash bench/loopback_vs_pulseaudio.sh [--seconds N] [--repeats N]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds=10
repeats=3
while (($#)); do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --repeats) repeats="$2"; shift 2 ;;
    *) echo "usage: $0 [--seconds N] [--repeats N]" >&2; exit 2 ;;
  esac
done

(
  cd "$root"
  bash scripts/install-deps.sh pulseaudio pulseaudio-utils sox
  cmake --preset host >/dev/null
  cmake --build --preset host --target tonvane_loopback wave_message_bench >/dev/null
)
loopback="$root/build/host/tools/loopback/tonvane-loopback"
work="$(mktemp -d /tmp/tonvane-bench.XXXXXX)"
daemon=""
clients=()
cleanup() {
  for pid in "${clients[@]}" $daemon; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# CPU seconds of a process's live threads (scheduler nanoseconds).
cpu_of() {
  local sum=0 ns
  for stat in /proc/"$1"/task/*/schedstat; do
    read -r ns _ <"$stat" 2>/dev/null || continue
    sum=$((sum + ns))
  done
  echo "$sum"
}
seconds_of() { awk -v ns="$1" 'BEGIN { printf "%.3f", ns / 1e9 }'; }

# One Tonvane run: "kernel clients run".
tonvane_once() {
  local report
  report="$("$loopback" --players 8 --recorders 8 --format 48000,16,2 --seconds "$seconds" \
    --quiet --cpu-report --out "$work/tonvane.wav")"
  grep -q 'every sample is the saturated sum' <<<"$report" \
    || { echo "$report" >&2; echo "bench: the Tonvane run failed its mix check" >&2; exit 1; }
  sed -n 's/^CPU over .*kernel side \([0-9.]*\) s, applications \([0-9.]*\) s, the run \([0-9.]*\) s$/\1 \2 \3/p' \
    <<<"$report"
}

# One PulseAudio run: "daemon clients".
sox -q -n -r 48000 -c 2 -b 16 -e signed-integer -t raw "$work/tone.raw" \
  synth "$((seconds + 5))" sine 440 vol 0.3
pulse_once() {
  local dir="$work/pulse" socket
  rm -rf "$dir" && mkdir -p "$dir"
  socket="$dir/native"
  cat >"$dir/default.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 socket=$socket
load-module module-null-sink sink_name=bench rate=48000 channels=2
PA
  HOME="$dir" XDG_RUNTIME_DIR="$dir" PULSE_RUNTIME_PATH="$dir/run" \
    pulseaudio -n -F "$dir/default.pa" --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
    --log-target=stderr --log-level=error 2>"$dir/log" &
  daemon=$!
  for _ in $(seq 100); do [[ -S "$socket" ]] && break; sleep 0.05; done
  [[ -S "$socket" ]] || { cat "$dir/log" >&2; echo "bench: pulseaudio did not start" >&2; exit 1; }
  export PULSE_SERVER="unix:$socket"
  local before after total=0
  before="$(cpu_of "$daemon")"
  clients=()
  for _ in 1 2 3 4 5 6 7 8; do
    pacat --playback --raw --rate=48000 --channels=2 --format=s16le --latency-msec=100 \
      -d bench "$work/tone.raw" &
    clients+=($!)
    parec --raw --rate=48000 --channels=2 --format=s16le --latency-msec=100 \
      -d bench.monitor >/dev/null &
    clients+=($!)
  done
  sleep "$seconds"
  for pid in "${clients[@]}"; do total=$((total + $(cpu_of "$pid"))); done
  after="$(cpu_of "$daemon")"
  kill "${clients[@]}" 2>/dev/null || true
  wait "${clients[@]}" 2>/dev/null || true
  clients=()
  kill "$daemon"; wait "$daemon" 2>/dev/null || true
  daemon=""
  unset PULSE_SERVER
  echo "$(seconds_of $((after - before))) $(seconds_of "$total")"
}

echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
tonvane=() pulse=()
printf '%-7s | %-40s | %-28s | %s\n' repeat "Tonvane: kernel side + clients (run)" \
  "PulseAudio: daemon + clients" ratio
for ((r = 1; r <= repeats; ++r)); do
  read -r tk tc trun < <(tonvane_once)
  read -r pd pc < <(pulse_once)
  t="$(awk -v a="$tk" -v b="$tc" 'BEGIN { printf "%.3f", a + b }')"
  p="$(awk -v a="$pd" -v b="$pc" 'BEGIN { printf "%.3f", a + b }')"
  tonvane+=("$t") pulse+=("$p")
  printf '%-7s | %-40s | %-28s | %s\n' "$r" "$tk + $tc = $t s ($trun)" "$pd + $pc = $p s" \
    "$(awk -v a="$t" -v b="$p" 'BEGIN { printf "%.2f", a / b }')"
done
stats() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
  printf "%.3f %.3f", v[1], (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
read -r tmin tmed <<<"$(stats "${tonvane[@]}")"
read -r pmin pmed <<<"$(stats "${pulse[@]}")"
printf '%-7s | %-40s | %-28s | %s\n' minimum "$tmin s" "$pmin s" \
  "$(awk -v a="$tmin" -v b="$pmin" 'BEGIN { printf "%.2f", a / b }')"
printf '%-7s | %-40s | %-28s | %s\n' median "$tmed s" "$pmed s" \
  "$(awk -v a="$tmed" -v b="$pmed" 'BEGIN { printf "%.2f", a / b }')"
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"

# The handshake against one whole small waveOutWrite.
"$root/build/host/bench/wave_message_bench" --benchmark_format=csv 2>/dev/null >"$work/wave.csv"
awk -F, '/^"BM_Handshake"/ { h = $3; hc = $4 } /^"BM_WaveOutWriteSmall"/ { w = $3; wc = $4 }
  END { printf "handshake %.1f us (CPU %.1f us), small waveOutWrite %.1f us (CPU %.1f us): " \
        "the handshake is %.0f %% of the write (CPU %.0f %%)\n",
        h / 1000, hc / 1000, w / 1000, wc / 1000, 100 * h / w, 100 * hc / wc }' "$work/wave.csv"

# Virtual-time throughput: one minute of 8 + 8 at 48 kHz 16-bit stereo.
read -r vk vc vr < <("$loopback" --virtual-time --players 8 --recorders 8 --format 48000,16,2 \
  --seconds 60 --quiet --cpu-report --out "$work/virtual.wav" \
  | sed -n 's/^CPU over .*kernel side \([0-9.]*\) s, applications \([0-9.]*\) s, the run \([0-9.]*\) s$/\1 \2 \3/p')
awk -v k="$vk" -v c="$vc" -v r="$vr" 'BEGIN {
  printf "virtual time: 60 s of 8 + 8 in %.3f CPU s (kernel side %.3f, clients %.3f, the run %.3f): " \
    "%.1f s of audio per CPU second\n", k + c + r, k, c, r, 60 / (k + c + r) }'
