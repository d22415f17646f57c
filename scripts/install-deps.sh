#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test the library. Idempotent: packages
# that are already there are not asked for again, so a second run costs a dpkg query.
set -euo pipefail

packages=(
  cmake ninja-build g++-mingw-w64-x86-64-posix mingw-w64-tools googletest
  wine64 wine xvfb xauth x11-apps imagemagick
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-libav
  pulseaudio pulseaudio-utils ffmpeg sox
  clang lld llvm python3   # second compiler; lld-link, llvm-dlltool and python3 for the SDK checks
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: everything is installed"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
echo "install-deps: done"
