#!/usr/bin/env bash
# The headless test bed: an X server, a PulseAudio daemon with a null sink, and a Wine prefix with
# a persistent wineserver, all private to one build tree so that several trees can test at once.
#
#   scripts/testbed.sh start BUILD_DIR   starts what is not running yet, writes BUILD_DIR/testbed/env
#   scripts/testbed.sh stop BUILD_DIR    stops only what start started
#   source BUILD_DIR/testbed/env         DISPLAY, WINEPREFIX, PULSE_SERVER, ORVO_AUDIO_MONITOR, ...
set -euo pipefail

cmd=${1:-}
build=$(realpath -m "${2:-build}")
state=$build/testbed
mkdir -p "$state"

pulse_env() {
  export PULSE_RUNTIME_PATH=$state/pulse PULSE_STATE_PATH=$state/pulse-state
  export PULSE_SERVER=unix:$state/pulse/native
}

start_x() {
  if [ -f "$state/xvfb.pid" ] && kill -0 "$(cat "$state/xvfb.pid")" 2>/dev/null; then
    return
  fi
  local n=90
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1280x720x24 -nolisten tcp >"$state/xvfb.log" 2>&1 &
  echo $! >"$state/xvfb.pid"
  echo ":$n" >"$state/display"
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
}

start_pulse() {
  pulse_env
  mkdir -p "$PULSE_RUNTIME_PATH" "$PULSE_STATE_PATH"
  if ! pactl info >/dev/null 2>&1; then
    # -n: no default script; only the modules the tests need. Root is fine for a private daemon.
    pulseaudio -n --daemonize=yes --exit-idle-time=-1 --use-pid-file=yes \
      --load="module-native-protocol-unix auth-anonymous=1 socket=$state/pulse/native" \
      --load="module-null-sink sink_name=orvo_sink rate=48000 channels=2" \
      --log-target=file:"$state/pulse.log" 2>/dev/null || true
    for _ in $(seq 50); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
    pactl set-default-sink orvo_sink
    touch "$state/pulse.started"
  fi
}

start_wine() {
  export WINEPREFIX=$state/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  export DISPLAY
  DISPLAY=$(cat "$state/display")
  pulse_env
  mkdir -p "$WINEPREFIX"
  # A persistent server makes each test program start in tens of milliseconds instead of ~0.8 s.
  # It must come first: a server started by wineboot would exit as soon as it is idle.
  /usr/lib/wine/wineserver64 -p </dev/null >/dev/null 2>&1 || true
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "testbed: creating the Wine prefix (about 15 s)"
    wineboot -i </dev/null >"$state/wineboot.log" 2>&1
  fi
  # Without a window manager, Wine waits 2 s for every managed window to be withdrawn when it is
  # hidden or destroyed; unmanaged windows also keep their Windows coordinates on the X screen.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1 || true
  # A crash prints its backtrace into the test's output instead of waiting on a dialog forever.
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f </dev/null >/dev/null 2>&1 || true
  # Wine's services inherit the stdout of the first wine process: start them detached from ours.
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}

write_env() {
  cat >"$state/env" <<EOT
export DISPLAY=$(cat "$state/display")
export WINEPREFIX=$state/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export PULSE_RUNTIME_PATH=$state/pulse
export PULSE_STATE_PATH=$state/pulse-state
export PULSE_SERVER=unix:$state/pulse/native
export ORVO_AUDIO_MONITOR=orvo_sink.monitor
export ORVO_TESTBED_DIR=$state
EOT
}

stop_all() {
  if [ -d "$state/wineprefix" ]; then
    WINEPREFIX=$state/wineprefix /usr/lib/wine/wineserver64 -k 2>/dev/null || true
  fi
  if [ -f "$state/pulse.started" ]; then
    pulse_env
    pactl exit 2>/dev/null || true
    rm -f "$state/pulse.started"
  fi
  if [ -f "$state/xvfb.pid" ]; then
    kill "$(cat "$state/xvfb.pid")" 2>/dev/null || true
    rm -f "$state/xvfb.pid"
  fi
}

case "$cmd" in
  start)
    start_x
    start_pulse
    start_wine
    write_env
    echo "testbed: display $(cat "$state/display"), prefix $state/wineprefix, sink orvo_sink"
    ;;
  stop)
    stop_all
    ;;
  *)
    echo "usage: $0 start|stop BUILD_DIR" >&2
    exit 2
    ;;
esac
