#!/usr/bin/env bash
# The real window: runs the x86_64 Tonrelay.exe under Wine in a virtual X
# display, with a private PulseAudio daemon that has two null sinks, "cable A"
# and "cable B". Through keyboard input to the dialog it relays cable A's
# monitor to cable B, plays a 1 kHz tone into cable A, checks that the tone
# comes out of cable B, takes a screenshot of the running dialog, presses
# Stop and Escape and checks that the program exits with code 0. Every wait
# has a time-out; a failure names its step. Everything started here is ended
# on the way out, whatever happened.
#
#   bash scripts/check-relay-window.sh
#
# Run on demand, not by the test command. The screenshot and the logs go to
# build/relay-window/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
work=$root/build/relay-window

step_name="set-up"
step() {
  step_name="$1"
  echo "== $step_name"
}
fail() {
  echo "check-relay-window: step '$step_name' failed: $*" >&2
  for log in "$work"/*.log; do
    [[ -s $log ]] && { echo "--- $(basename "$log") (last lines)" >&2; tail -n 15 "$log" >&2; }
  done
  exit 1
}
# wait_for <seconds> <what> <command...>: polls the command until it succeeds.
wait_for() {
  local seconds=$1 what=$2
  shift 2
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    ((SECONDS < deadline)) || fail "no $what within $seconds s"
    sleep 0.25
  done
}

step "install"
packages=(wine64 xvfb pulseaudio pulseaudio-utils sox xdotool x11-apps netpbm python3)
missing=()
for pkg in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
if ((${#missing[@]})); then
  echo "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
[[ -x $wine && -x $wineserver ]] || fail "wine64 and wineserver not found"

step "build"
cmake --preset win64 >/dev/null
cmake --build --preset win64 --target tonrelay >/dev/null
exe=$root/build/win64/relay/Tonrelay.exe

rm -rf "$work"
mkdir -p "$work/run" "$work/home"
chmod 700 "$work/run"
export HOME=$work/home XDG_RUNTIME_DIR=$work/run
prefix=$work/prefix
# Only Wine's processes carry WINEPREFIX, so that teardown can find them.
# No runtime-download prompts (Mono, Gecko) and no desktop menu entries.
wine_env=(env WINEPREFIX="$prefix" WINEDEBUG=-all "WINEDLLOVERRIDES=mscoree,mshtml=;winemenubuilder.exe=d")

xvfb_pid="" pulse_pid="" relay_pid="" player_pid=""
teardown() {
  local status=$?
  set +e
  for pid in $player_pid $relay_pid; do
    kill "$pid" 2>/dev/null
  done
  if [[ -d $prefix ]]; then
    timeout 30 "${wine_env[@]}" "$wineserver" -k 2>/dev/null
    timeout 30 "${wine_env[@]}" "$wineserver" -w 2>/dev/null
  fi
  for pid in $pulse_pid $xvfb_pid; do
    kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  done
  wait 2>/dev/null
  # Nothing may stay behind: no process of ours, no process of the prefix.
  local left=""
  for pid in $player_pid $relay_pid $pulse_pid $xvfb_pid; do
    kill -0 "$pid" 2>/dev/null && left+=" $pid"
  done
  for environ in /proc/[0-9]*/environ; do
    grep -qs -z -x "WINEPREFIX=$prefix" "$environ" && left+=" $(basename "$(dirname "$environ")")"
  done
  if [[ -n $left ]]; then
    echo "check-relay-window: step '8: teardown' failed: processes left:$left" >&2
    status=1
  elif ((status == 0)); then
    echo "check-relay-window: passed; screenshot $work/tonrelay-running.png"
    cat "$work/tone-level.txt"
  fi
  exit $status
}
trap teardown EXIT

step "1: display, sound daemon and Wine prefix"
# Xvfb picks a free display number and writes it to descriptor 3.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
display_known() { [[ -s $work/display ]]; }
wait_for 20 "display number from Xvfb" display_known
export DISPLAY=:$(head -n 1 "$work/display")
x_ready() { xdotool getdisplaygeometry >/dev/null 2>&1; }
wait_for 20 "X display $DISPLAY" x_ready

cat >"$work/pulse.pa" <<'EOF'
load-module module-native-protocol-unix auth-anonymous=1
load-module module-null-sink sink_name=cable_a sink_properties='device.description="cable A"'
load-module module-null-sink sink_name=cable_b sink_properties='device.description="cable B"'
EOF
pulseaudio -n -F "$work/pulse.pa" --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
  >"$work/pulse.log" 2>&1 &
pulse_pid=$!
sinks_ready() { [[ $(pactl list short sinks 2>/dev/null | grep -c 'cable_[ab]') == 2 ]]; }
wait_for 20 "sinks cable A and cable B" sinks_ready
sink_index() { pactl list short sinks | awk -v n="$1" '$2 == n { print $1 }'; }
source_index() { pactl list short sources | awk -v n="$1" '$2 == n { print $1 }'; }

timeout 300 "${wine_env[@]}" "$wine" wineboot -i >"$work/wineboot.log" 2>&1 || fail "wineboot did not finish"
timeout 60 "${wine_env[@]}" "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Audio /d pulse /f \
  >>"$work/wineboot.log" 2>&1 || fail "cannot select Wine's PulseAudio driver"

step "2: Tonrelay, cable A's monitor in, cable B out"
"${wine_env[@]}" "$wine" "$exe" >"$work/tonrelay.log" 2>&1 &
relay_pid=$!
window=""
find_window() { window=$(xdotool search --onlyvisible --name '^Tonrelay 1\.03$' 2>/dev/null | head -n 1); [[ -n $window ]]; }
wait_for 120 "Tonrelay window" find_window
xdotool windowfocus --sync "$window"
# The dialog starts with the focus on Start/Stop; the next tab stops are the
# wave-in and the wave-out list. A letter selects the next entry that
# begins with it: Wine lists its default device "PulseAudio" first, then
# the daemon's devices in the order they were made.
keys() { xdotool windowfocus --sync "$window" key --delay 150 "$@"; sleep 0.5; }
keys Tab Home M Tab Home c c

step "3: Start"
keys shift+Tab shift+Tab space
streams_open() {
  [[ $(pactl list short source-outputs 2>/dev/null | wc -l) -ge 1 &&
     $(pactl list short sink-inputs 2>/dev/null | wc -l) -ge 1 ]]
}
wait_for 20 "recording and playing stream of Tonrelay" streams_open
recorded_from=$(pactl list short source-outputs | awk '{ print $2 }' | sort -u)
played_to=$(pactl list short sink-inputs | awk '{ print $2 }' | sort -u)
[[ $recorded_from == "$(source_index cable_a.monitor)" ]] ||
  fail "Tonrelay records from source $recorded_from, not cable A's monitor"
[[ $played_to == "$(sink_index cable_b)" ]] || fail "Tonrelay plays into sink $played_to, not cable B"

step "4: 1 kHz tone into cable A"
sox -n -r 44100 -c 2 -b 16 "$work/tone.wav" synth 10 sine 1000 vol 0.5
paplay --device=cable_a "$work/tone.wav" &
player_pid=$!

step "5: the tone out of cable B"
# The relay holds about half of its 1000 ms of buffers; let it fill first.
sleep 2
timeout -s INT 3 parec --device=cable_b.monitor --file-format=wav "$work/cable-b.wav" || true
[[ -s $work/cable-b.wav ]] || fail "nothing recorded from cable B's monitor"
python3 - "$work/cable-b.wav" <<'EOF' | tee "$work/tone-level.txt" || fail "no 1 kHz tone in cable B"
import math, struct, sys, wave

recording = wave.open(sys.argv[1])
rate, channels = recording.getframerate(), recording.getnchannels()
frames = recording.getnframes()
samples = struct.unpack("<%dh" % (frames * channels), recording.readframes(frames))
left = [samples[i * channels] / 32768 for i in range(frames)]

def tone(block, frequency=1000):
    """Amplitude of the frequency in the block (a single-bin DFT)."""
    s = c = 0.0
    for n, x in enumerate(block):
        angle = 2 * math.pi * frequency * n / rate
        s += x * math.sin(angle)
        c += x * math.cos(angle)
    return 2 * math.hypot(s, c) / len(block)

block = rate // 10
blocks = [left[i:i + block] for i in range(0, frames - block + 1, block)]
amplitudes = [tone(b) for b in blocks]
power = sum(x * x for x in left) / max(frames, 1)
amplitude = sum(amplitudes) / max(len(amplitudes), 1)
share = (amplitude ** 2 / 2) / power if power else 0.0
carrying = sum(a >= 0.25 for a in amplitudes)
level = 20 * math.log10(amplitude) if amplitude > 0 else float("-inf")
print("cable B: %.2f s recorded; 1 kHz tone at %.1f dBFS (amplitude %.3f, played 0.500), "
      "%.1f%% of the signal power, in %d of %d blocks of 100 ms"
      % (frames / rate, level, amplitude, 100 * share, carrying, len(blocks)))
sys.exit(0 if blocks and carrying == len(blocks) and share > 0.9 else 1)
EOF

step "6: screenshot of the running dialog"
xwd -id "$window" -silent >"$work/tonrelay-running.xwd" || fail "xwd failed"
xwdtopnm "$work/tonrelay-running.xwd" 2>/dev/null | pnmtopng >"$work/tonrelay-running.png" 2>/dev/null ||
  fail "cannot convert the screenshot to PNG"
echo "screenshot: $work/tonrelay-running.png"

step "7: Stop, Escape, exit code 0"
kill "$player_pid" 2>/dev/null || true
wait "$player_pid" 2>/dev/null || true
player_pid=""
keys space
streams_closed() { [[ -z $(pactl list short sink-inputs 2>/dev/null; pactl list short source-outputs 2>/dev/null) ]]; }
wait_for 20 "end of the run (both devices closed)" streams_closed
keys Escape
relay_ended() { ! kill -0 "$relay_pid" 2>/dev/null; }
wait_for 30 "exit of Tonrelay" relay_ended
status=0
wait "$relay_pid" || status=$?
relay_pid=""
[[ $status == 0 ]] || fail "Tonrelay exited with code $status"

step "8: teardown"
