#!/usr/bin/env bash
# The headless test bed: an X server, a PulseAudio daemon with two null sinks, and a Wine prefix with
# a persistent wineserver, all private to one build tree so that several trees can test at once.
#
#   scripts/testbed.sh start BUILD_DIR [--platform wine8|wine10]   starts what is not running yet,
#                                                                   writes the state folder's env
#   scripts/testbed.sh stop BUILD_DIR [--platform wine8|wine10]    stops only what start started
#   source BUILD_DIR/testbed/env         DISPLAY, WINEPREFIX, PULSE_SERVER, ORVO_AUDIO_MONITOR, ...
#
# wine8 (the default) is this machine's own Wine, with its state in BUILD_DIR/testbed. wine10 runs
# everything inside the Debian 13 root of scripts/install-wine10-root.sh, with its state in
# BUILD_DIR/testbed-wine10: the X server, PulseAudio and wineserver are the root's own, /proc,
# /sys, /dev, the X socket folder and the source and build trees are bind-mounted into the root at
# their own paths (the test programs know their tree by its absolute path), and the env puts a
# `wine` first on PATH that runs the root's Wine in the caller's folder. stop unmounts all of it.
set -euo pipefail

cmd=${1:-}
build=$(realpath -m "${2:-build}")
platform=wine8
if [ "${3:-}" = --platform ]; then platform=${4:-}; fi
scripts=$(cd "$(dirname "$0")" && pwd)
source_root=$(dirname "$scripts")
case "$platform" in
  wine8) state=$build/testbed; root= ;;
  wine10) state=$build/testbed-wine10; root=$(cat "$state/root" 2>/dev/null || true) ;;
  *) echo "testbed: unknown platform $platform (wine8 or wine10)" >&2; exit 2 ;;
esac
mkdir -p "$state"

# Runs a command of the platform: inside the root for wine10, with a clean environment plus the
# given NAME=VALUE pairs.
in_platform() {
  if [ -n "$root" ]; then
    chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root "$@"
  else
    env "$@"
  fi
}

# The same, given up after a number of seconds: nothing the platform does may hang the caller.
in_platform_for() {
  local seconds=$1
  shift
  if [ -n "$root" ]; then
    timeout --kill-after=5 "$seconds" chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root "$@"
  else
    timeout --kill-after=5 "$seconds" env "$@"
  fi
}

wineserver_path() {
  local candidate
  for candidate in /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver /usr/bin/wineserver; do
    if [ -x "$root$candidate" ]; then echo "$candidate"; return; fi
  done
}

mount_root() {
  [ -n "$root" ] || return 0
  : >>"$state/mounts"
  local what where trees=("$source_root")
  case "$build/" in "$source_root"/*) ;; *) trees+=("$build") ;; esac
  [ -d /tmp/.X11-unix ] || install -d -m 1777 /tmp/.X11-unix
  for what in /proc /sys /dev /dev/pts /dev/shm /tmp/.X11-unix "${trees[@]}"; do
    where=$root$what
    if grep -qx "$where" "$state/mounts"; then continue; fi
    mkdir -p "$where"
    mount --bind "$what" "$where"
    echo "$where" >>"$state/mounts"
  done
}

unmount_root() {
  [ -f "$state/mounts" ] || return 0
  local where
  # Last mounted first: the trees before /dev, /dev/pts before /dev.
  tac "$state/mounts" | while read -r where; do
    if grep -q " $where " /proc/mounts; then umount "$where" 2>/dev/null || umount -l "$where" || true; fi
  done
  rm -f "$state/mounts"
}

write_wrapper() {
  [ -n "$root" ] || return 0
  mkdir -p "$state/bin"
  cat >"$state/bin/wine" <<'EOT'
#!/usr/bin/env bash
# The root's Wine, run in the caller's folder with the test bed's environment and ORVO_* settings.
vars=()
while IFS= read -r -d '' pair; do
  case "${pair%%=*}" in
    ORVO_*|WINE*|DXVK_*|VK_*|MESA_*|LP_*|DISPLAY|PULSE_*|GTEST_*|LANG|LC_*) vars+=("$pair") ;;
  esac
done < <(env -0)
exec chroot "@ROOT@" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root "${vars[@]}" \
  /bin/sh -c 'cd "$0" && exec wine "$@"' "$PWD" "$@"
EOT
  sed -i "s|@ROOT@|$root|" "$state/bin/wine"
  chmod +x "$state/bin/wine"
}

start_x() {
  if [ -f "$state/xvfb.pid" ] && kill -0 "$(cat "$state/xvfb.pid")" 2>/dev/null; then
    return
  fi
  # The X socket folder is shared with the root, so one search covers both platforms' servers.
  local n=90
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || [ -e "$root/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  # Started directly (chroot and env exec it), so that the pid is the server's own.
  if [ -n "$root" ]; then
    chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin Xvfb ":$n" -screen 0 1280x720x24 -nolisten tcp \
      >"$state/xvfb.log" 2>&1 &
  else
    Xvfb ":$n" -screen 0 1280x720x24 -nolisten tcp >"$state/xvfb.log" 2>&1 &
  fi
  echo $! >"$state/xvfb.pid"
  echo ":$n" >"$state/display"
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
}

pulse_vars() {
  echo "PULSE_RUNTIME_PATH=$state/pulse" "PULSE_STATE_PATH=$state/pulse-state" "PULSE_SERVER=unix:$state/pulse/native"
}

start_pulse() {
  mkdir -p "$state/pulse" "$state/pulse-state"
  # shellcheck disable=SC2046
  if ! in_platform_for 10 $(pulse_vars) pactl info >/dev/null 2>&1; then
    # -n: no default script; only the modules the tests need. Root is fine for a private daemon.
    # shellcheck disable=SC2046
    in_platform_for 30 $(pulse_vars) pulseaudio -n --daemonize=yes --exit-idle-time=-1 --use-pid-file=yes \
      --load="module-native-protocol-unix auth-anonymous=1 socket=$state/pulse/native" \
      --load="module-null-sink sink_name=orvo_sink rate=48000 channels=2 sink_properties=device.description=orvo_sink" \
      --load="module-null-sink sink_name=orvo_sink_b rate=48000 channels=2 sink_properties=device.description=orvo_sink_b" \
      --log-target=file:"$state/pulse.log" 2>/dev/null || true
    # shellcheck disable=SC2046
    for _ in $(seq 50); do in_platform_for 10 $(pulse_vars) pactl info >/dev/null 2>&1 && break; sleep 0.1; done
    # A second sink for the tests that choose an endpoint; the first stays the default one, where
    # every other test listens. Each sink's description is the name Wine gives its endpoint.
    # shellcheck disable=SC2046
    in_platform_for 10 $(pulse_vars) pactl set-default-sink orvo_sink
    touch "$state/pulse.started"
  fi
}

wine_vars() {
  echo "WINEPREFIX=$state/wineprefix" WINEDEBUG=-all "WINEDLLOVERRIDES=mscoree,mshtml=" "DISPLAY=$(cat "$state/display")"
  pulse_vars
}

# A wine command of the platform, detached from our stdout, never waiting for ever.
wine_quiet() {
  # shellcheck disable=SC2046
  in_platform_for 120 $(wine_vars) wine "$@" </dev/null >/dev/null 2>&1 || true
}

start_wine() {
  mkdir -p "$state/wineprefix"
  # A persistent server makes each test program start in tens of milliseconds instead of ~0.8 s.
  # It must come first: a server started by wineboot would exit as soon as it is idle.
  # shellcheck disable=SC2046
  in_platform $(wine_vars) "$(wineserver_path)" -p </dev/null >/dev/null 2>&1 || true
  if [ ! -f "$state/wineprefix/system.reg" ]; then
    echo "testbed: creating the Wine prefix (about 15 s)"
    # shellcheck disable=SC2046
    in_platform_for 300 $(wine_vars) wineboot -i </dev/null >"$state/wineboot.log" 2>&1
  fi
  # Without a window manager, Wine waits 2 s for every managed window to be withdrawn when it is
  # hidden or destroyed; unmanaged windows also keep their Windows coordinates on the X screen.
  wine_quiet reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f
  # A crash prints its backtrace into the test's output instead of waiting on a dialog forever.
  wine_quiet reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f
  # Wine's Direct3D lends a device's first GL context for drawing into a swap chain's back buffer
  # and leaves it pointing at that swap chain. When the swap chain is released, the commands its
  # command-stream thread still holds for that context read the freed swap chain, and the process
  # faults whenever the heap has already handed that page back: a few video lives in a hundred in
  # the stress program (WindowFirst, LifecycleChurn), whatever the library's release order.
  # Without the command-stream thread the same lives ran without a fault (the churn's video lives
  # then keep more memory; its allowance says how much). Only the stress program, which closes
  # hundreds of video players, runs that way, and only on Wine 8: Wine 10 without the thread makes
  # GL contexts current on the application's threads itself, and there a Close hung for good and
  # another thread's glXMakeCurrent ended the process with BadAccess. Every other test keeps
  # Wine's default.
  if [ -z "$root" ]; then
    wine_quiet reg add 'HKCU\Software\Wine\AppDefaults\integration_stress.exe\Direct3D' /v csmt /t REG_DWORD /d 0 /f
  else
    wine_quiet reg delete 'HKCU\Software\Wine\AppDefaults\integration_stress.exe\Direct3D' /v csmt /f
  fi
  if [ -n "$root" ]; then
    # Xvfb reports a refresh rate of 0 through XRandR, and DXVK's dxgi divides by it. Wine 10 takes
    # the switch only for the whole prefix (not per program) and only in a new session of the
    # prefix, so it is set here and the server restarted. Its X11 driver then reports one fixed
    # 60 Hz mode, for the default configuration's tests too.
    wine_quiet reg add 'HKCU\Software\Wine\X11 Driver' /v UseXRandR /d N /f
    wine_quiet reg add 'HKCU\Software\Wine\X11 Driver' /v UseXVidMode /d N /f
    # shellcheck disable=SC2046
    in_platform_for 60 $(wine_vars) "$(wineserver_path)" -k </dev/null >/dev/null 2>&1 || true
    # shellcheck disable=SC2046
    in_platform $(wine_vars) "$(wineserver_path)" -p </dev/null >/dev/null 2>&1 || true
  fi
  # Wine's services inherit the stdout of the first wine process: start them detached from ours.
  wine_quiet cmd /c exit
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
export ORVO_AUDIO_MONITOR_B=orvo_sink_b.monitor
export ORVO_TESTBED_DIR=$state
EOT
  if [ -n "$root" ]; then echo "export PATH=$state/bin:\$PATH" >>"$state/env"; fi
}

stop_all() {
  if [ -d "$state/wineprefix" ] && { [ -z "$root" ] || [ -d "$root/proc/self" ]; }; then
    # shellcheck disable=SC2046
    in_platform_for 60 $(wine_vars 2>/dev/null) "$(wineserver_path)" -k 2>/dev/null || true
  fi
  if [ -f "$state/pulse.started" ]; then
    # shellcheck disable=SC2046
    in_platform_for 10 $(pulse_vars) pactl exit 2>/dev/null || true
    rm -f "$state/pulse.started"
  fi
  if [ -f "$state/xvfb.pid" ]; then
    kill "$(cat "$state/xvfb.pid")" 2>/dev/null || true
    rm -f "$state/xvfb.pid"
  fi
  # Whatever of the platform is still running in our prefix (a test program that hung) goes too,
  # before the root's mounts go: nothing may keep them busy.
  if [ -n "$root" ]; then
    local pid
    for pid in $(ls /proc | grep -E '^[0-9]+$'); do
      if [ "$(readlink "/proc/$pid/root" 2>/dev/null)" = "$root" ] &&
         tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$state/wineprefix"; then
        kill -9 "$pid" 2>/dev/null || true
      fi
    done
  fi
  unmount_root
}

case "$cmd" in
  start)
    if [ "$platform" = wine10 ]; then
      root=$("$scripts/install-wine10-root.sh")
      echo "$root" >"$state/root"
      # A failed start leaves nothing mounted.
      trap 'stop_all' ERR
      mount_root
      write_wrapper
    fi
    start_x
    start_pulse
    start_wine
    write_env
    trap - ERR
    echo "testbed: $platform, display $(cat "$state/display"), prefix $state/wineprefix, sinks orvo_sink (default) and orvo_sink_b"
    ;;
  stop)
    stop_all
    ;;
  *)
    echo "usage: $0 start|stop BUILD_DIR [--platform wine8|wine10]" >&2
    exit 2
    ;;
esac
