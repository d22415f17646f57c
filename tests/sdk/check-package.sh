#!/usr/bin/env bash
# Installs the build into PREFIX with `cmake --install`, checks what the package holds, then builds
# the release archive with CPack into PACKAGE_DIR and checks that it holds the same files.
#   check-package.sh BUILD_DIR PREFIX PACKAGE_DIR SOURCE_DIR
set -eu  # no pipefail: `grep -q` may end a pipe early on purpose
build=$1 prefix=$2 packages=$3 source=$4
status=0
fail() { echo "FAILED: $*"; status=1; }

rm -rf "$prefix" "$packages"
cmake --install "$build" --prefix "$prefix" >/dev/null

expected="bin/ORVO.Media.dll
bin/ORVO.Media.dll.debug
bin/orvo-hostcheck.exe
bin/orvo-play.exe
include/OrvoMedia.h
lib/ORVO.Media.lib
lib/cmake/OrvoMedia/OrvoMediaConfig.cmake
lib/cmake/OrvoMedia/OrvoMediaConfigVersion.cmake
lib/libORVO.Media.dll.a
share/doc/OrvoMedia/LICENSE.txt
share/doc/OrvoMedia/README.md
share/doc/OrvoMedia/THIRD-PARTY-NOTICES.txt
share/doc/OrvoMedia/host-guide.md"
installed=$(cd "$prefix" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
if [ "$installed" != "$expected" ]; then
  fail "installed files differ from the expected layout"
  diff <(echo "$expected") <(echo "$installed") || true
fi
cmp -s "$source/include/OrvoMedia.h" "$prefix/include/OrvoMedia.h" || fail "installed header differs from include/"

# The DLL ships stripped; its debug information sits beside it and the DLL names it with the CRC
# of exactly that file, so a debugger finds it and refuses a stale one.
dll=$prefix/bin/ORVO.Media.dll debug=$prefix/bin/ORVO.Media.dll.debug
objdump=x86_64-w64-mingw32-objdump
$objdump -h "$dll" | grep -q '\.debug_' && fail "ORVO.Media.dll still carries debug sections"
$objdump -t "$dll" | grep -q '^\[' && fail "ORVO.Media.dll still carries a symbol table"
$objdump -h "$debug" | grep -q '\.debug_info' || fail "ORVO.Media.dll.debug has no debug information"
grep -q 'OrvoMediaPlayer.cpp' "$debug" || fail "ORVO.Media.dll.debug does not describe the library's own code"
link=$(mktemp -d)
x86_64-w64-mingw32-objcopy --dump-section .gnu_debuglink="$link/section" "$dll" "$link/copy.dll"
python3 - "$link/section" "$debug" <<'PY' || status=1
import sys, zlib
data = open(sys.argv[1], "rb").read()
name = data.split(b"\0", 1)[0].decode()
offset = (len(name) + 1 + 3) // 4 * 4  # the CRC follows the name, 4-byte aligned
crc = int.from_bytes(data[offset:offset + 4], "little")
actual = zlib.crc32(open(sys.argv[2], "rb").read())
ok = name == "ORVO.Media.dll.debug" and crc == actual
print("debug link: %s, CRC %08x, file CRC %08x: %s" % (name, crc, actual, "ok" if ok else "MISMATCH"))
sys.exit(0 if ok else 1)
PY
rm -rf "$link"

# Both import libraries name every export of the .def file.
exports=$(sed -n '/^EXPORTS/,$p' "$source/src/api/ORVO.Media.def" | tail -n +2 | awk '{print $1}')
for lib in ORVO.Media.lib libORVO.Media.dll.a; do
  symbols=$(llvm-nm "$prefix/lib/$lib" 2>/dev/null || x86_64-w64-mingw32-nm "$prefix/lib/$lib")
  missing=0
  for name in $exports; do echo "$symbols" | grep -qw "__imp_$name" || missing=$((missing + 1)); done
  [ "$missing" -eq 0 ] || fail "$lib lacks $missing of the exports"
done
# ORVO.Media.lib must be the short-import format of MSVC's lib.exe, not a GNU archive of objects.
llvm-readobj "$prefix/lib/ORVO.Media.lib" 2>/dev/null | grep -q 'Format: COFF-import-file' ||
  fail "ORVO.Media.lib is not an MSVC-format import library"

# The release archive: named with the full version, holding exactly the installed files.
version=$(sed -n 's/^#define ORVO_MEDIA_VERSION_[A-Z]* \([0-9]*\).*/\1/p' "$source/include/OrvoMedia.h" | paste -sd.)
archive=$packages/ORVO.Media-$version-win64.zip
cpack -G ZIP --config "$build/CPackConfig.cmake" -B "$packages" >/dev/null
if [ -f "$archive" ]; then
  listed=$(python3 -c 'import sys, zipfile
names = [n.split("/", 1)[1] for n in zipfile.ZipFile(sys.argv[1]).namelist() if not n.endswith("/")]
print("\n".join(sorted(names)))' "$archive")
  [ "$listed" = "$installed" ] || { fail "the archive holds other files than the install"; diff <(echo "$installed") <(echo "$listed") || true; }
  echo "archive: $archive ($(stat -c %s "$archive") bytes)"
else
  fail "no archive $archive"; ls "$packages"
fi
echo "installed into $prefix:"
(cd "$prefix" && find . -type f -printf '  %P  %s bytes\n' | LC_ALL=C sort)
[ $status -eq 0 ] && echo "PASSED" || echo "FAILED"
exit $status
