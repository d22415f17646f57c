#!/usr/bin/env bash
# Generates the test and demo media into tests/media (or the folder given) with ffmpeg. Only files
# that are missing are made, so the build and test scripts can call it every time.
#
# Video: 640x360 at 30 fps, four solid quadrants (red, green, blue, yellow) for geometry checks and
# a row of 16 black/white 32x32 blocks across the top that spell the frame number in binary (most
# significant bit on the left), so a screenshot tells which frame is shown. Blocks and quadrants
# sit on even pixel positions (blocks on 32-pixel ones), so 4:2:0 chroma does not bleed between
# them. An IDR every 30 frames, no B-frames: decode order equals presentation order.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/tests/media}
mkdir -p "$out"
ff=(ffmpeg -hide_banner -loglevel error -nostdin -y)

bit='mod(floor(N/pow(2,15-floor(X/32))),2)'
band='lt(Y,32)'
blocks="$band*lt(X,512)"
red="if($blocks,255*$bit,if($band,128,if(lt(Y,180),if(lt(X,320),255,0),if(lt(X,320),0,255))))"
green="if($blocks,255*$bit,if($band,128,if(lt(Y,180),if(lt(X,320),0,255),if(lt(X,320),0,255))))"
blue="if($blocks,255*$bit,if($band,128,if(lt(Y,180),0,if(lt(X,320),255,0))))"

make_video() {  # seconds codec file
  local seconds=$1 codec=$2 file=$3
  [ -f "$out/$file" ] && return
  local src="color=c=black:s=640x360:r=30:d=$seconds,format=rgb24,geq=r='$red':g='$green':b='$blue',format=yuv420p"
  if [ "$codec" = h264 ]; then
    "${ff[@]}" -f lavfi -i "$src" -c:v libx264 -profile:v main -preset medium -crf 20 \
      -x264-params keyint=30:min-keyint=30:scenecut=0:bframes=0:repeat-headers=1 -f h264 "$out/$file"
  else
    "${ff[@]}" -f lavfi -i "$src" -c:v libx265 -preset medium -crf 24 \
      -x265-params keyint=30:min-keyint=30:scenecut=0:bframes=0:repeat-headers=1:log-level=error -f hevc "$out/$file"
  fi
}

# Reference decode: one MD5 per frame of the NV12 picture (Y plane then interleaved UV, no padding).
make_reference() {  # input reference
  [ -f "$out/$2" ] && return
  "${ff[@]}" -i "$out/$1" -pix_fmt nv12 -f framemd5 "$out/$2"
}

make_video 3 h264 clip-640x360-30fps.h264
make_reference clip-640x360-30fps.h264 clip-640x360-30fps.h264.framemd5
encoders=$(ffmpeg -hide_banner -encoders 2>/dev/null || true)
if [[ $encoders == *libx265* ]]; then
  make_video 3 hevc clip-640x360-30fps.hevc
  make_reference clip-640x360-30fps.hevc clip-640x360-30fps.hevc.framemd5
fi
make_video 10 h264 demo-640x360-30fps.h264

tone() {  # seconds rate channels args file
  [ -f "$out/$5" ] && return
  "${ff[@]}" -f lavfi -i "sine=frequency=440:sample_rate=$2:duration=$1" -ac "$3" $4 "$out/$5"
}
tone 3 48000 2 "-c:a aac -b:a 128k -f adts" tone-440hz-48k-stereo.aac
tone 10 48000 2 "-c:a aac -b:a 128k -f adts" demo-440hz-48k-stereo.aac
tone 2 44100 1 "-c:a pcm_s16le -f wav" tone-440hz-44k1-mono.wav
tone 2 48000 2 "-c:a pcm_s16le -f wav" tone-440hz-48k-stereo.wav
