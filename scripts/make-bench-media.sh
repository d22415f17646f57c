#!/usr/bin/env bash
# Generates the benchmark clips for tools/latency-bench into DIR with ffmpeg. They are large and
# machine-made, so they live outside the repository; only missing files are made.
#
# H.264 Annex-B, 30 fps, an IDR every 30 frames, no B-frames (decode order = presentation order, as
# a live encoder sends it), parameter sets before every IDR. The picture is ffmpeg's moving test
# pattern under sensor-like noise, held to a camera's constant bit rate so the decoder sees a
# realistic amount of data per frame (without the cap the noise alone would take 30-70 Mbit/s):
#   bench-1280x720-30fps-20s.h264    1280x720, 20 s, 4 Mbit/s
#   bench-1920x1080-30fps-6s.h264    1920x1080, 6 s, 8 Mbit/s
set -euo pipefail
if [ $# -ne 1 ]; then
  echo "usage: $0 DIR" >&2
  exit 2
fi
out=$1
mkdir -p "$out"
ff=(ffmpeg -hide_banner -loglevel error -nostdin -y)

make_clip() {  # width height seconds bitrate
  local width=$1 height=$2 seconds=$3 rate=$4
  local file="$out/bench-${width}x${height}-30fps-${seconds}s.h264"
  [ -f "$file" ] && return
  "${ff[@]}" -f lavfi -i "testsrc2=s=${width}x${height}:r=30:d=$seconds,noise=alls=6:allf=t,format=yuv420p" \
    -c:v libx264 -profile:v main -preset veryfast -b:v "$rate" -maxrate "$rate" -bufsize "$rate" \
    -x264-params keyint=30:min-keyint=30:scenecut=0:bframes=0:repeat-headers=1 -f h264 "$file.part"
  # Renamed only when complete, so an interrupted run is not mistaken for a finished clip.
  mv "$file.part" "$file"
  echo "$file"
}

make_clip 1280 720 20 4M
make_clip 1920 1080 6 8M
