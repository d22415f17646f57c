#!/usr/bin/env bash
# The installed sample host's command line: --help, --version, and a clear message with its own
# exit code for each kind of mistake (orvo-play --help lists the codes).
#   orvo-play-cli.sh PREFIX MEDIA_DIR
set -euo pipefail
prefix=$1 media=$2
cd "$prefix/bin"
status=0
log=$(mktemp)
trap 'rm -f "$log"' EXIT
winpath() { echo "Z:$(echo "$1" | tr / '\\')"; }

# expect CODE TEXT ARGS...: orvo-play exits with CODE and prints TEXT (stdout or stderr).
expect() {
  local code=$1 text=$2 output actual=0 start=$SECONDS
  shift 2
  # Into a file, not a pipe: Wine's background services would keep a pipe open after the program ends.
  wine orvo-play.exe "$@" </dev/null >"$log" 2>&1 || actual=$?
  output=$(tr '\r' '\n' <"$log")
  if [ "$actual" -eq "$code" ] && grep -qF -- "$text" <<<"$output"; then
    echo "ok        exit $actual  $((SECONDS - start)) s  orvo-play $*"
  else
    echo "MISMATCH  exit $actual (expected $code, text '$text')  orvo-play $*"
    echo "$output" | head -5
    status=1
  fi
}

version=$(sed -n 's/^#define ORVO_MEDIA_VERSION_[A-Z]* \([0-9]*\).*/\1/p' "$prefix/include/OrvoMedia.h" | paste -sd.)
expect 0 "usage: orvo-play --video" --help
expect 0 "ORVO.Media.dll $version" --version
expect 2 "unknown option '--bogus'" --video x.h264 --bogus
expect 2 "--video needs a value" --video
expect 2 "invalid value 'fast' for --fps" --video x.h264 --fps fast
expect 3 "cannot find" --video "$(winpath "$media/no-such-clip.h264")"
expect 3 "cannot find" --uri "$(winpath "$media/no-such-file.mp4")"
expect 4 "is not an H.264 Annex-B elementary stream" --video "$(winpath "$media/tone-440hz-48k-stereo.wav")"
expect 4 "is neither ADTS AAC" --video "$(winpath "$media/demo-640x360-30fps.h264")" \
  --audio "$(winpath "$media/clip-640x360-30fps.h264")"
# Wine 8 has no HEVC decoder: the library sets the stream up as inactive and says so.
expect 4 "cannot play the video stream" --video "$(winpath "$media/clip-640x360-30fps.hevc")" --duration 1
expect 0 "stopped: fed video" --video "$(winpath "$media/demo-640x360-30fps.h264")" --duration 1
exit $status
