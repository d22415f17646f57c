#!/usr/bin/env bash
# The public header compiles cleanly, warnings as errors, as C99 and as C++17, with and without
# WIN32_LEAN_AND_MEAN, with each compiler given (the mingw-w64 gcc, and clang for the same target);
# the host guide's C++ example compiles against it too.
#   check-header.sh INCLUDE_DIR "C_COMPILER,CXX_COMPILER"...
set -euo pipefail
include=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
warnings=(-Wall -Wextra -Wpedantic -Werror -Wshadow -Wundef -Wstrict-prototypes)
status=0
for pair in "$@"; do
  for language in c99 c++17; do
    for lean in "" -DWIN32_LEAN_AND_MEAN; do
      if [ "$language" = c++17 ]; then
        compiler=${pair#*,}
        flags=(-x c++ -std=c++17 "${warnings[@]/-Wstrict-prototypes/}")  # a C-only warning
      else
        compiler=${pair%%,*}
        flags=(-std=c99 "${warnings[@]}")
      fi
      # shellcheck disable=SC2086
      if $compiler -fsyntax-only "${flags[@]}" $lean -I"$include" "$here/header-use.c" 2>"${TMPDIR:-/tmp}/orvo-header.err"; then
        echo "ok       $compiler $language ${lean:-(full windows.h)}"
      else
        echo "FAILED   $compiler $language ${lean:-(full windows.h)}"
        cat "${TMPDIR:-/tmp}/orvo-header.err"
        status=1
      fi
    done
  done
done
# The first C++ block of docs/host-guide.md: the complete callback example.
guide=$here/../../docs/host-guide.md
example=$(mktemp --suffix=.cpp)
awk '/^```cpp$/{on=1; next} on && /^```$/{exit} on' "$guide" >"$example"
first=${1#*,}
# shellcheck disable=SC2086
if $first -fsyntax-only -std=c++17 -Wall -Wextra -Werror -I"$include" "$example"; then
  echo "ok       host guide example ($first)"
else
  echo "FAILED   host guide example ($first)"
  status=1
fi
rm -f "$example"
exit $status
