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
# and the flash-and-beep clips for tools/avsync-bench, with the same stream structure:
#   avsync-1280x720-30fps-20s.h264   mid-grey, frame 15 of every second (t = k + 0.5 s) full white
#   avsync-640x360-30fps-20s.h264    the same at 640x360
#   avsync-48k-stereo-20s.wav        48 kHz 16-bit stereo PCM, silent but for a 20 ms 1 kHz beep that
#                                    starts on the sample at t = k + 0.5 s, the white frames' times
# The flash sits half a second into each second so that the first one is not the first frame of the
# stream, which a player shows late while it starts up.
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

make_flash_clip() {  # width height seconds
  local width=$1 height=$2 seconds=$3
  local file="$out/avsync-${width}x${height}-30fps-${seconds}s.h264"
  [ -f "$file" ] && return
  "${ff[@]}" -f lavfi -i "color=c=0x808080:s=${width}x${height}:r=30:d=$seconds,format=yuv420p,drawbox=x=0:y=0:w=iw:h=ih:color=white:t=fill:enable='eq(mod(n\,30)\,15)'" \
    -c:v libx264 -profile:v main -preset veryfast -b:v 1M \
    -x264-params keyint=30:min-keyint=30:scenecut=0:bframes=0:repeat-headers=1 -f h264 "$file.part"
  mv "$file.part" "$file"
  echo "$file"
}

make_beep_wav() {  # seconds
  local seconds=$1
  local file="$out/avsync-48k-stereo-${seconds}s.wav"
  [ -f "$file" ] && return
  # The beep's phase starts at 0 on its first sample, so the onset is the first non-zero sample.
  local beep="if(gte(t\,0.5)*lt(mod(t-0.5\,1)\,0.02)\,0.5*sin(2*PI*1000*mod(t-0.5\,1))\,0)"
  "${ff[@]}" -f lavfi -i "aevalsrc=exprs=${beep}|${beep}:s=48000:d=$seconds" \
    -c:a pcm_s16le -f wav "$file.part"
  mv "$file.part" "$file"
  echo "$file"
}

make_clip 1280 720 20 4M
make_clip 1920 1080 6 8M
make_flash_clip 1280 720 20
make_flash_clip 640 360 20
make_beep_wav 20
