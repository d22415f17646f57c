#!/usr/bin/env bash
# Installs the second test-bed configuration: DXVK's Direct3D 11 (which has the video interfaces
# Wine's lacks) on Mesa's software Vulkan driver. Idempotent and cached: DXVK is unpacked once per
# machine into ORVO_CACHE_DIR (default /var/cache/orvo), outside any clone. Prints the folder that
# holds d3d11.dll and dxgi.dll. See third_party/dxvk/README.md for the pin.
set -euo pipefail

dxvk_version=2.6+ds-1
dxvk_sha256=815dc6d20536f60a60e3e8d8696ce06560f52e4afe073ad11bd612090231b630
cache=${ORVO_CACHE_DIR:-/var/cache/orvo}
dest=$cache/dxvk-$dxvk_version
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive

# Mesa 22 (Debian 12) refuses NV12 textures on lavapipe; Mesa 25 has multi-planar formats.
mesa=$(dpkg-query -W -f='${Version}' mesa-vulkan-drivers 2>/dev/null || true)
if [ -z "$mesa" ] || dpkg --compare-versions "$mesa" lt 25; then
  . /etc/os-release
  if [ "${VERSION_CODENAME:-}" = bookworm ]; then
    list=/etc/apt/sources.list.d/bookworm-backports.list
    if [ ! -f "$list" ]; then
      echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm-backports main" |
        "${as_root[@]}" tee "$list" >/dev/null
    fi
    "${as_root[@]}" apt-get update -qq
    "${as_root[@]}" apt-get install -y -qq -t bookworm-backports mesa-vulkan-drivers libvulkan1 >/dev/null
  else
    "${as_root[@]}" apt-get install -y -qq mesa-vulkan-drivers libvulkan1 >/dev/null
  fi
  echo "install-gpu-testbed: Mesa $(dpkg-query -W -f='${Version}' mesa-vulkan-drivers)" >&2
fi

if [ ! -f "$dest/d3d11.dll" ] || [ ! -f "$dest/dxgi.dll" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  mkdir -p "$work/lists/partial" "$work/archives/partial"
  echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian trixie main" >"$work/sources.list"
  apt_private=(-o Dir::Etc::SourceList="$work/sources.list" -o Dir::Etc::SourceParts=/dev/null
               -o Dir::State::Lists="$work/lists" -o Dir::Cache::Archives="$work/archives"
               -o APT::Sandbox::User=root -qq)
  apt-get "${apt_private[@]}" update
  (cd "$work" && apt-get "${apt_private[@]}" download "dxvk-wine64=$dxvk_version")
  deb=$(ls "$work"/dxvk-wine64_*.deb)
  echo "$dxvk_sha256  $deb" | sha256sum -c --quiet -
  dpkg-deb -x "$deb" "$work/x"
  mkdir -p "$dest.tmp"
  # Debian names the PE files *.dll.so (its Wine loader's convention); Windows loaders want *.dll.
  cp "$work/x/usr/lib/dxvk/wine64/d3d11.dll.so" "$dest.tmp/d3d11.dll"
  cp "$work/x/usr/lib/dxvk/wine64/dxgi.dll.so" "$dest.tmp/dxgi.dll"
  rm -rf "$dest" && mv "$dest.tmp" "$dest"
  echo "install-gpu-testbed: DXVK $dxvk_version unpacked into $dest" >&2
fi
echo "$dest"
