#!/usr/bin/env bash
# The demo: builds the library, starts the headless test bed, plays the bundled live demo stream
# (H.264 video with four coloured quadrants and a frame counter, AAC 440 Hz tone) through the
# sample host orvo-play for a few seconds, and shows what was played: a screenshot of the window,
# the tone recorded from the null sink, the host's frame counts and the library's log.
#
#   scripts/demo.sh [BUILD_DIR]        DEMO_SECONDS=8 DEMO_STRATEGY=smooth scripts/demo.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build}")
seconds=${DEMO_SECONDS:-6}
strategy=${DEMO_STRATEGY:-lowlatency}

"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$build"
[ -f "$root/tests/media/demo-640x360-30fps.h264" ] || "$root/scripts/make-test-media.sh"
"$root/scripts/testbed.sh" start "$build"
trap '"$root/scripts/testbed.sh" stop "$build" >/dev/null 2>&1 || true' EXIT
# shellcheck disable=SC1091
source "$build/testbed/env"

out=$build/demo
mkdir -p "$out"
rm -f "$out"/* "$build/bin/ORVO.Media.log"
winpath() { echo "Z:$(echo "$1" | tr / '\\')"; }

echo "demo: playing $seconds s of the live demo feed ($strategy strategy)..."
parec -d "$ORVO_AUDIO_MONITOR" --latency-msec=20 --format=s16le --rate=48000 --channels=2 \
  --file-format=wav "$out/demo-audio.wav" &
recorder=$!
(cd "$build/bin" && wine orvo-play.exe \
  --video "$(winpath "$root/tests/media/demo-640x360-30fps.h264")" \
  --audio "$(winpath "$root/tests/media/demo-440hz-48k-stereo.aac")" \
  --strategy "$strategy" --duration "$seconds" --log \
  --screenshot "$out/demo-screenshot.png" --screenshot-at $((seconds - 2)) \
  </dev/null >"$out/orvo-play.txt" 2>&1) || echo "demo: orvo-play failed (exit $?)"
sleep 1
kill "$recorder" 2>/dev/null || true
wait "$recorder" 2>/dev/null || true
cp "$build/bin/ORVO.Media.log" "$out/ORVO.Media.log" 2>/dev/null || true

echo
echo "== picture"
if [ -f "$out/demo-screenshot.png" ]; then echo "screenshot: $out/demo-screenshot.png"; else echo "no screenshot"; fi

echo "== sound (null sink monitor)"
python3 - "$out/demo-audio.wav" <<'PY'
import math, struct, sys, wave
w = wave.open(sys.argv[1]); rate = w.getframerate(); n = w.getnframes()
data = struct.unpack('<%dh' % (n * 2), w.readframes(n))
left = data[0::2]
window = rate // 10
pitches, levels = [], []
for start in range(0, len(left) - window, window):
    part = left[start:start + window]
    rms = math.sqrt(sum(x * x for x in part) / window)
    if rms < 100:  # silence before and after playback
        continue
    crossings = [i for i in range(1, window) if part[i - 1] < 0 <= part[i]]
    if len(crossings) > 2:
        pitches.append((len(crossings) - 1) * rate / (crossings[-1] - crossings[0]))
    levels.append(rms)
if not pitches:
    print("no tone recorded (%.1f s captured)" % (n / rate)); sys.exit(0)
pitches.sort(); levels.sort()
print("tone: %.1f Hz (median over %d windows of 100 ms), level %.1f dBFS, %.1f s audible of %.1f s captured"
      % (pitches[len(pitches) // 2], len(pitches), 20 * math.log10(levels[len(levels) // 2] / 32768.0),
         len(levels) / 10.0, n / rate))
PY
echo "recording: $out/demo-audio.wav"

echo "== host"
tr '\r' '\n' <"$out/orvo-play.txt" | grep -v '^\s*$' | grep -v '^fed video' || true
echo "== library log ($(wc -l <"$out/ORVO.Media.log" 2>/dev/null || echo 0) lines, $out/ORVO.Media.log)"
grep -a -E 'Opening URI|active|all instances ready|received base|flush: flushing|jitter|gap|thread (started|finished)|failed' \
  "$out/ORVO.Media.log" 2>/dev/null | grep -av 'Item ' | cut -c1-180 | head -40 || true
