#!/usr/bin/env bash
# Compiles msvc-link/minimal.c against the installed header, links it with lld-link against the
# installed lib/ORVO.Media.lib (plus kernel32), and runs it under Wine beside the installed DLL.
#   link-and-run.sh PREFIX WORK_DIR C_COMPILER
set -euo pipefail
prefix=$1 work=$2 cc=$3
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work" && mkdir -p "$work"
"$cc" -std=c99 -O2 -Wall -Wextra -Werror -ffreestanding -I"$prefix/include" -c "$here/minimal.c" -o "$work/minimal.obj"
lld-link /nologo /entry:start /subsystem:console /nodefaultlib /out:"$work/minimal.exe" "$work/minimal.obj" \
  "$prefix/lib/ORVO.Media.lib" /libpath:/usr/x86_64-w64-mingw32/lib libkernel32.a
imports=$(x86_64-w64-mingw32-objdump -p "$work/minimal.exe" | awk '/DLL Name:/{print $3}' | sort | tr '\n' ' ')
echo "minimal.exe imports: $imports"
[ "$imports" = "KERNEL32.dll ORVO.Media.dll " ] || { echo "unexpected imports"; exit 1; }
cp "$prefix/bin/ORVO.Media.dll" "$work/"
cd "$work"
# Output into a file, not CTest's pipe, which Wine's background services would hold open.
status=0
wine minimal.exe </dev/null >minimal.txt 2>&1 || status=$?
cat minimal.txt
exit $status
