#!/usr/bin/env bash
# The main job: sets everything up and runs the sample host headless, then shows what happened.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVO_BUILD_DIR:-$root/build}

"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$build"
"$root/scripts/testbed.sh" start "$build"
trap '"$root/scripts/testbed.sh" stop "$build"' EXIT
# shellcheck disable=SC1091
source "$build/testbed/env"
cd "$build/bin"
wine orvo-hostcheck.exe </dev/null
