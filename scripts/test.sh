#!/usr/bin/env bash
# Sets up everything and runs every test: installs packages (the gpu-real configuration's Mesa 25 and
# DXVK included), builds with gcc (the tests run from this build) and, for a full run, with clang
# (its warnings are shown, not fatal), starts the test bed, runs CTest under Wine, stops the test
# bed. A full run covers both configurations: Wine's own Direct3D 11 (every label) and DXVK's
# (label gpu-real). Extra arguments go to ctest (for example -L source) and skip the clang build
# unless ORVO_CLANG_BUILD=1.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVO_BUILD_DIR:-$root/build}
clang_build=${ORVO_CLANG_BUILD:-$([ $# -eq 0 ] && echo 1 || echo 0)}

"$root/scripts/install-deps.sh"
dxvk=$("$root/scripts/install-gpu-testbed.sh")
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
"$root/scripts/testbed.sh" start "$build"
trap '"$root/scripts/testbed.sh" stop "$build"' EXIT
# shellcheck disable=SC1091
source "$build/testbed/env"
cd "$build"
ctest --output-on-failure "$@"
