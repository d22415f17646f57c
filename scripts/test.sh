#!/usr/bin/env bash
# Sets up everything and runs every test: installs packages, builds, starts the test bed, runs
# CTest under Wine, stops the test bed. Extra arguments go to ctest (for example -L source).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVO_BUILD_DIR:-$root/build}

"$root/scripts/install-deps.sh"
"$root/scripts/make-test-media.sh"   # only makes test media files that are missing
"$root/scripts/build.sh" "$build"
"$root/scripts/testbed.sh" start "$build"
trap '"$root/scripts/testbed.sh" stop "$build"' EXIT
# shellcheck disable=SC1091
source "$build/testbed/env"
cd "$build"
ctest --output-on-failure "$@"
