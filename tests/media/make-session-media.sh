#!/usr/bin/env bash
# Makes the small files the session tests open through the platform's source resolver:
# a 2 s 320x240 H.264 + AAC MP4 (colour bars and a 440 Hz tone) and a 2 s AAC-in-M4A tone.
set -euo pipefail
cd "$(dirname "$0")"
ffmpeg -hide_banner -loglevel error -y \
  -f lavfi -i "smptebars=size=320x240:rate=30:duration=2" \
  -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=2" \
  -c:v libx264 -profile:v baseline -pix_fmt yuv420p -g 30 -b:v 200k \
  -c:a aac -b:a 64k -ac 2 -shortest -movflags +faststart session-bars-320x240-2s.mp4
ffmpeg -hide_banner -loglevel error -y \
  -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=2" -c:a aac -b:a 64k -ac 2 session-tone-440hz-2s.m4a
