/* A host linked by lld-link, an MSVC-compatible linker, against the package's ORVO.Media.lib and
   nothing else of the package. No C runtime: it runs from its own entry point and reports through
   kernel32 only, so the import library alone decides whether the program finds the DLL's exports.
   It also passes and returns bool, 64-bit and double values across the boundary. */
#include "OrvoMedia.h"

static int g_failures;

static void report(int ok, const char *what) {
  DWORD written = 0;
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  const char *verdict = ok ? " ok\r\n" : " MISMATCH\r\n";
  WriteFile(out, what, lstrlenA(what), &written, NULL);
  WriteFile(out, verdict, lstrlenA(verdict), &written, NULL);
  if (!ok) ++g_failures;
}

void start(void) {
  int id = 0;
  report(Create(&id) == Ok && id > 0, "Create");
  report(GetState(id) == Closed, "GetState of a new player");
  report(GetVolume(id) == 1.0 && GetBalance(id) == 0.5 && GetPlaybackRate(id) == 1.0, "double results");
  report(GetDuration(id) == 0 && SetPosition(id, (LONGLONG)1 << 40) == InvalidState, "64-bit argument and result");
  report(UseLowLatencyRenderer(id, false) == Ok && SetStretch(id, TRUE) == InvalidState, "bool and BOOL arguments");
  report(Open(id, L"Z:\\no\\such\\file.mp4") == OpenFailed, "Open of a missing file");
  report(Close(id) == Ok && Close(id) == UnknownPlayer, "Close");
  ExitProcess((UINT)g_failures);
}
