#!/usr/bin/env bash
# Runs the outside-in picture/sound measurement N times for one configuration and prints one RESULT
# line per run. Builds what is missing (the host and the DLL into BUILD_DIR, the native observer
# with gcc, the clips with ffmpeg), starts the build tree's test bed if it is not running.
#
#   tools/avsync-bench/run.sh [--runs N] [--size 1280x720|640x360] [--strategy lowlatency|smooth]
#       [--seconds S] [--clock-ppm P] [--stall-at S --stall-ms M] [--maxdelay-ms N] [--name CONFIG]
#
# Environment: BUILD_DIR (default build), BENCH_MEDIA (clips; default BUILD_DIR/bench-media),
# AVSYNC_OUT (run folders; default BUILD_DIR/avsync). Each run keeps its files in
# AVSYNC_OUT/CONFIG-runK: the host's CSV, the observer's records, events.csv (every paired flash and
# beep), host.log and analysis.log.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
here=$root/tools/avsync-bench
build=$(realpath -m "${BUILD_DIR:-$root/build}")
media=$(realpath -m "${BENCH_MEDIA:-$build/bench-media}")
out=$(realpath -m "${AVSYNC_OUT:-$build/avsync}")

runs=1 size=1280x720 strategy=lowlatency seconds= ppm=0 stall_at= stall_ms= maxdelay= name=
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=$2 ;;
    --size) size=$2 ;;
    --strategy) strategy=$2 ;;
    --seconds) seconds=$2 ;;
    --clock-ppm) ppm=$2 ;;
    --stall-at) stall_at=$2 ;;
    --stall-ms) stall_ms=$2 ;;
    --maxdelay-ms) maxdelay=$2 ;;
    --name) name=$2 ;;
    *) sed -n '2,13p' "$0" >&2; exit 2 ;;
  esac
  shift 2
done
# Defaults: 20 s; 30 s around a stall (room to recover); 60 s for a clock that runs off.
if [ -z "$seconds" ]; then
  seconds=20
  [ -n "$stall_at" ] && seconds=30
  [ "$ppm" != 0 ] && seconds=60
fi
case "$size" in 1280x720|640x360) ;; *) echo "run.sh: --size is 1280x720 or 640x360" >&2; exit 2 ;; esac
width=${size%x*} height=${size#*x}
if [ -z "$name" ]; then
  name=${height}p-$strategy
  [ "$ppm" != 0 ] && name=$name-ppm$ppm
  [ -n "$stall_at" ] && name=$name-stall
  [ -n "$maxdelay" ] && name=$name-maxdelay$maxdelay
  name=$name-${seconds}s
fi

# The observer's headers and libraries, installed only when missing.
packages=(libx11-dev libxext-dev libpulse-dev gcc)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "run.sh: installing ${missing[*]}" >&2
  as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${as_root[@]}" apt-get update -qq
  "${as_root[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The host and the DLL it links: only these targets (the machine is shared, -j2 at most).
if [ ! -f "$build/build.ninja" ]; then
  launcher=()
  command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" "${launcher[@]}" >/dev/null
fi
cmake --build "$build" --target avsync-bench -- -j2 >/dev/null

observer=$build/avsync-observer/observer
if [ ! -x "$observer" ] || [ "$here/observer.c" -nt "$observer" ]; then
  mkdir -p "$(dirname "$observer")"
  gcc -O2 -Wall -Wextra -std=c11 -o "$observer" "$here/observer.c" -lX11 -lXext -lpulse-simple -lpulse -lpthread
fi

"$root/scripts/make-bench-media.sh" "$media" >/dev/null
video=$media/avsync-${width}x${height}-30fps-20s.h264
audio=$media/avsync-48k-stereo-20s.wav

"$root/scripts/testbed.sh" start "$build" >/dev/null
# shellcheck disable=SC1091
source "$build/testbed/env"

host_args=(--video "$video" --audio "$audio" --size "$size" --seconds "$seconds" --strategy "$strategy"
           --clock-ppm "$ppm")
[ -n "$stall_at" ] && host_args+=(--stall-at "$stall_at" --stall-ms "${stall_ms:-1500}")
[ -n "$maxdelay" ] && host_args+=(--maxdelay-ms "$maxdelay")

for run in $(seq "$runs"); do
  dir=$out/$name-run$run
  rm -rf "$dir"
  mkdir -p "$dir"
  load_before=$(cut -d' ' -f1-3 /proc/loadavg | tr ' ' ,)
  "$observer" --x $((width / 2)) --y $((height / 2)) --out "$dir/r" --source "$ORVO_AUDIO_MONITOR" \
    --seconds $((${seconds%.*} + 150)) 2>"$dir/observer.log" &
  observer_pid=$!
  for _ in $(seq 100); do [ -f "$dir/r.ready" ] && break; sleep 0.05; done
  # What PulseAudio holds while the player plays, every 2 s: the null sink's block (its latency)
  # and the player's stream (buffer and sink latency), to tell its share of the sound's delay from
  # what sits in front of it.
  (while [ ! -f "$dir/host.done" ]; do
     echo "t=$(cut -d' ' -f1 /proc/uptime)"
     pactl list sinks | grep -E '^\s*Latency:' | sed 's/^\s*/sink /' || true
     pactl list sink-inputs | grep -E 'application.name|Buffer Latency|Sink Latency' | sed 's/^\s*/input /' || true
     sleep 2
   done >"$dir/pulse-during-run.txt" 2>&1) &
  sink_pid=$!
  # The host process's resident memory every 5 s (Linux side: Wine's own figures miss part of it),
  # for the long runs' "flat after the first minute".
  (start=$(cut -d' ' -f1 /proc/uptime)
   while [ ! -f "$dir/host.done" ]; do
     # The largest of the processes named so: the program itself, not timeout or wine's launcher.
     rss=$(for pid in $(pgrep -f 'avsync-bench.exe' || true); do
             awk '/^VmRSS:/ {print $2}' "/proc/$pid/status" 2>/dev/null
           done | sort -n | tail -1)
     [ -n "$rss" ] && echo "$(awk -v a="$(cut -d' ' -f1 /proc/uptime)" -v b="$start" 'BEGIN {printf "%.0f", a - b}') $rss"
     sleep 5
   done >"$dir/memory.txt" 2>/dev/null) &
  memory_pid=$!
  status=0
  (cd "$build/bin" && timeout $((${seconds%.*} + 120)) wine avsync-bench.exe "${host_args[@]}" --csv "$dir/r.csv" \
    </dev/null >"$dir/host.log" 2>&1) || status=$?
  touch "$dir/host.done"
  sleep 0.5
  kill "$observer_pid" 2>/dev/null || true
  wait "$observer_pid" || true
  wait "$sink_pid" 2>/dev/null || true
  wait "$memory_pid" 2>/dev/null || true
  # Resident memory at the first minute's end, at the run's end and at its largest (kB).
  memory=$(awk '$1 >= 60 && first == "" {first = $2} {last = $2; if ($2 > top) top = $2}
                END {if (first == "") first = last; printf "rss_1min_kb=%s rss_end_kb=%s rss_max_kb=%s rss_growth_kb=%d", first, last, top, last - first}' \
           "$dir/memory.txt" 2>/dev/null || true)
  load_after=$(cut -d' ' -f1-3 /proc/loadavg | tr ' ' ,)
  if [ $status -ne 0 ] || [ ! -s "$dir/r.csv" ]; then
    echo "RESULT config=$name run=$run failed=host_exit_$status load=$load_before/$load_after"
    continue
  fi
  python3 "$here/analyse.py" "$dir/r" --config "$name" --run "$run" --events "$dir/events.csv" \
    --extra "load=$load_before/$load_after${memory:+ $memory}" >"$dir/analysis.log" 2>&1 || true
  grep '^RESULT' "$dir/analysis.log" || { echo "RESULT config=$name run=$run failed=analysis"; cat "$dir/analysis.log" >&2; }
done
