#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace orvo_test {

// Polls `condition` until it holds or `timeoutMs` has passed; answers the last result. Tests wait on
// what they need to see instead of sleeping for a guessed time.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs, DWORD pollMs = 5);

// The number of threads of this process right now.
int ProcessThreadCount();

// The threads of this process that did not start in ntdll: the platform's thread pools and timer
// queues start their workers there and retire them on their own schedule, while every thread the
// library, a runtime or an audio or video driver creates starts elsewhere.
int ProcessThreadCountBesidesPoolWorkers();

// One line per thread of this process: its id and the module and offset it started at, so that a
// thread count that does not settle says whose thread is left.
std::string ProcessThreadReport();

}  // namespace orvo_test
