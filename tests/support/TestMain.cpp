// The main of every test program. After the tests have run and their verdict is printed, the
// process ends without running DLL unload code: Wine's GStreamer-backed decoders now and then crash
// while they are torn down at process exit, which would turn a passed run into a failure that says
// nothing about this library. The library's own unload path is tested in processes of its own.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  fflush(stdout);
  fflush(stderr);
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(result));
  return result;
}
