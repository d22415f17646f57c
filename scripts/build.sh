#!/usr/bin/env bash
# Configures and builds the DLL, tools and tests into BUILD_DIR (default: build).
#   scripts/build.sh [BUILD_DIR]              mingw-w64 gcc: the build the tests run from
#   scripts/build.sh --clang [BUILD_DIR]      clang for the same target (default: build-clang);
#                                             add -DORVO_WARNINGS_AS_ERRORS=ON to a configured
#                                             tree to make warnings outside src/ errors
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
toolchain=$root/cmake/mingw-w64-x86_64.cmake
options=()
default_build=$root/build
if [ "${1:-}" = --clang ]; then
  shift
  toolchain=$root/cmake/clang-mingw-w64-x86_64.cmake
  options=()
  default_build=$root/build-clang
fi
build=${1:-$default_build}
# A compiler cache, where one is installed, lets several work trees of the same code share objects.
launcher=()
if command -v ccache >/dev/null 2>&1; then
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(dirname "$root")}
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" "${launcher[@]}" "${options[@]}" >/dev/null
fi
cmake --build "$build" -- -j"$(nproc)"
