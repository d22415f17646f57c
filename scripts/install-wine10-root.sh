#!/usr/bin/env bash
# Installs the second test platform: a Debian 13 (trixie) root with Wine 10 and what the test bed
# needs inside it (Xvfb, PulseAudio, GStreamer, Mesa's software Vulkan, xwd, ImageMagick). Built
# once per machine with mmdebstrap into ORVO_CACHE_DIR (default /var/cache/orvo), outside any clone,
# and shared by every work tree. The folder's name carries a key of the pin below (suite, packages,
# versions): a changed pin builds a new root and removes the old one. Prints the root's path.
#
# The versions are globs over Debian's revisions, so that a security update of the suite does not
# break the build; the root is refused if what was installed does not match them.
set -euo pipefail

suite=trixie
mirror=${ORVO_DEBIAN_MIRROR:-http://deb.debian.org/debian}
packages=(wine wine64 gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
          gstreamer1.0-libav xvfb xauth x11-utils x11-apps imagemagick pulseaudio pulseaudio-utils
          mesa-vulkan-drivers libvulkan1 python3)
# package=version glob: what the tests' expectations of this platform were measured with.
pins=("wine=10.0~repack-6*" "libwine=10.0~repack-6*" "libgstreamer1.0-0=1.26.2*"
      "gstreamer1.0-plugins-base=1.26.2*" "gstreamer1.0-plugins-bad=1.26.2*" "gstreamer1.0-libav=1.26.2*"
      "mesa-vulkan-drivers=25.0.7*" "xvfb=2:21.1.16*" "pulseaudio=17.0*")
layout=1  # bump when what the script puts into the root changes

cache=${ORVO_CACHE_DIR:-/var/cache/orvo}
key=$(printf '%s\n' "$layout" "$suite" "${packages[@]}" "${pins[@]}" | sha256sum | cut -c1-12)
dest=$cache/wine10-root-$key
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive

if [ -f "$dest/.orvo-root-complete" ]; then
  echo "$dest"
  exit 0
fi

"${as_root[@]}" mkdir -p "$cache"
# Several work trees may ask at once: one builds, the others wait for it.
exec 9>"$cache/wine10-root.lock"
flock 9
if [ -f "$dest/.orvo-root-complete" ]; then
  echo "$dest"
  exit 0
fi

if ! command -v mmdebstrap >/dev/null 2>&1; then
  "${as_root[@]}" apt-get update -qq
  "${as_root[@]}" apt-get install -y -qq mmdebstrap >/dev/null
fi

echo "install-wine10-root: building the $suite root with Wine 10 into $dest (about 3 minutes)" >&2
start=$(date +%s)
"${as_root[@]}" rm -rf "$dest.tmp"
include=$(IFS=,; echo "${packages[*]}")
# mmdebstrap mounts /proc, /sys and /dev inside the root for the package scripts, in a mount
# namespace of its own, and keeps services from starting (policy-rc.d) while it installs.
"${as_root[@]}" mmdebstrap --variant=apt --components=main --include="$include" \
  --aptopt='APT::Install-Recommends "true"' --quiet "$suite" "$dest.tmp" "$mirror" >&2

for pin in "${pins[@]}"; do
  name=${pin%%=*}
  glob=${pin#*=}
  have=$(chroot "$dest.tmp" dpkg-query -W -f='${Version}' "$name" 2>/dev/null || true)
  # shellcheck disable=SC2053
  if [[ $have != $glob ]]; then
    echo "install-wine10-root: $name is $have in $suite, the pin wants $glob: update the pin (and the" \
         "tests' expectations of this platform) in $0" >&2
    "${as_root[@]}" rm -rf "$dest.tmp"
    exit 1
  fi
done
# Mount points of the test bed: the build tree is bind-mounted at its own path at run time.
"${as_root[@]}" mkdir -p "$dest.tmp/tmp/.X11-unix"
"${as_root[@]}" chmod 1777 "$dest.tmp/tmp" "$dest.tmp/tmp/.X11-unix"
chroot "$dest.tmp" dpkg-query -W -f='${Package} ${Version}\n' "${packages[@]}" libwine libgstreamer1.0-0 \
  >"$dest.tmp/.orvo-root-versions" 2>/dev/null || true
touch "$dest.tmp/.orvo-root-complete"

# The previous pin's roots (never one that is in use: its test bed keeps mounts inside it).
for old in "$cache"/wine10-root-*; do
  [ "$old" = "$dest.tmp" ] || [ "$old" = "$cache/wine10-root.lock" ] && continue
  if [ -d "$old" ] && ! grep -q " $old/" /proc/mounts; then "${as_root[@]}" rm -rf "$old"; fi
done
"${as_root[@]}" mv "$dest.tmp" "$dest"
echo "install-wine10-root: done in $(($(date +%s) - start)) s, $(du -sh "$dest" | cut -f1)" >&2
echo "$dest"
