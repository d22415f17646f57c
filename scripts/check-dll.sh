#!/usr/bin/env bash
# Checks the built DLL from the outside: exactly the 27 exports and the extensions by their plain
# names, and imports from system DLLs only (the static runtime leaves no libstdc++, libgcc or
# winpthread behind).
set -euo pipefail
dll=${1:?usage: check-dll.sh ORVO.Media.dll}
objdump=x86_64-w64-mingw32-objdump

expected="AddMediaType Close Create CreateMediaType GetBalance GetDuration GetPlaybackRate GetPosition
GetState GetVolume IsStreamActive Open Pause Play SetAlphaBitmap SetAudioOutputDevice SetBalance
SetCallback SetFullScreen SetLog SetPlaybackRate SetPosition SetPreviewWindow SetStretch SetVolume Stop
UseLowLatencyRenderer GetStatistics SetEventCallback GetSnapshot SetSourceRect"
expected=$(echo $expected | tr ' ' '\n' | sort)

dump=$($objdump -p "$dll")
exports=$(echo "$dump" | awk '/\[Ordinal\/Name Pointer\] Table/{on=1; next} on && /^[ \t]*\[/{print $NF; next} on{on=0}' | sort)
imports=$(echo "$dump" | awk '/DLL Name:/{print tolower($3)}' | sort -u)

status=0
if [ "$exports" != "$expected" ]; then
  echo "exports differ from the expected ones:"
  diff <(echo "$expected") <(echo "$exports") || true
  status=1
else
  echo "exports: $(echo "$exports" | wc -l) names, as expected"
fi

# System DLLs the library may import; anything else would have to ship beside it.
allowed="kernel32.dll user32.dll gdi32.dll ole32.dll oleaut32.dll advapi32.dll shell32.dll msvcrt.dll
mfplat.dll mf.dll mfreadwrite.dll d3d11.dll dxgi.dll d3dcompiler_47.dll dcomp.dll avrt.dll winmm.dll
propsys.dll shlwapi.dll ksuser.dll api-ms-win-crt-runtime-l1-1-0.dll"
for dll_name in $imports; do
  case " $(echo $allowed) " in
    *" $dll_name "*|*" api-ms-win-"*) ;;
    *) echo "unexpected import: $dll_name"; status=1 ;;
  esac
done
echo "imports: $(echo $imports)"
exit $status
