#!/usr/bin/env bash
# Sets up everything and runs every test on both test platforms: this machine's Wine 8 (Debian 12)
# and Wine 10 in a Debian 13 root (scripts/install-wine10-root.sh, built once per machine). Installs
# packages (the gpu-real configuration's Mesa 25 and DXVK included), builds with gcc (the tests run
# from this build, the same binaries on both platforms) and, for a full run, with clang (its
# warnings are shown, not fatal), then for each platform starts a test bed, runs CTest under that
# Wine and stops the test bed. A full run covers both Direct3D 11 configurations on each platform:
# Wine's own (every label) and DXVK's (label gpu-real).
#
#   scripts/test.sh [--platform wine8|wine10|all] [ctest arguments, e.g. -L source]
#
# Extra arguments go to ctest and skip the clang build unless ORVO_CLANG_BUILD=1. Each platform's
# CTest run is bounded by ORVO_PLATFORM_TIMEOUT seconds (default 2700), so nothing inside the root
# can hang CI; the Wine 10 run happens in a mount namespace of its own, so its bind mounts vanish
# with it even if this script is killed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVO_BUILD_DIR:-$root/build}

# Internal: one platform's test bed and CTest run (inside the mount namespace for wine10).
if [ "${1:-}" = --run-platform ]; then
  platform=$2
  shift 2
  stop() { "$root/scripts/testbed.sh" stop "$build" --platform "$platform"; }
  trap stop EXIT
  trap 'exit 130' INT TERM
  "$root/scripts/testbed.sh" start "$build" --platform "$platform"
  state=$build/testbed
  [ "$platform" = wine8 ] || state=$build/testbed-$platform
  # shellcheck disable=SC1091
  source "$state/env"
  cd "$build"
  echo "test: $platform, $(wine --version 2>/dev/null | head -1)"
  timeout --kill-after=60 "${ORVO_PLATFORM_TIMEOUT:-2700}" ctest --output-on-failure "$@"
  exit $?
fi

platforms=(wine8 wine10)
if [ "${1:-}" = --platform ]; then
  case "${2:-}" in
    wine8 | wine10) platforms=("$2") ;;
    all) ;;
    *) echo "test: --platform wine8, wine10 or all" >&2; exit 2 ;;
  esac
  shift 2
fi
clang_build=${ORVO_CLANG_BUILD:-$([ $# -eq 0 ] && echo 1 || echo 0)}

"$root/scripts/install-deps.sh"
dxvk=$("$root/scripts/install-gpu-testbed.sh")
for platform in "${platforms[@]}"; do
  if [ "$platform" = wine10 ]; then "$root/scripts/install-wine10-root.sh" >/dev/null; fi
done
"$root/scripts/make-test-media.sh"   # only makes test media files that are missing
"$root/scripts/build.sh" "$build"
# A tree configured before DXVK was unpacked (or with another cache folder) has no gpu-real tests.
if ! grep -q "_gpu_real" "$build/tests/CTestTestfile.cmake" 2>/dev/null; then
  cmake "$build" -DORVO_DXVK_DIR="$dxvk" >/dev/null
  cmake --build "$build" -- -j"$(nproc)"
fi
if [ "$clang_build" = 1 ]; then
  echo "test: building with clang into $build-clang"
  "$root/scripts/build.sh" --clang "$build-clang"
fi

failed=()
summary=()
for platform in "${platforms[@]}"; do
  start=$(date +%s)
  rc=0
  if [ "$platform" = wine10 ]; then
    unshare --mount --propagation private -- "$0" --run-platform "$platform" "$@" || rc=$?
  else
    "$0" --run-platform "$platform" "$@" || rc=$?
  fi
  summary+=("$platform: $([ $rc = 0 ] && echo passed || echo "FAILED ($rc)") in $(($(date +%s) - start)) s")
  [ $rc = 0 ] || failed+=("$platform")
done
printf 'test: %s\n' "${summary[@]}"
[ ${#failed[@]} -eq 0 ]
