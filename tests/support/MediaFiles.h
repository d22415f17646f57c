#pragma once

#include <string>

namespace orvo_test {

// A file of tests/media as a Windows path: the source folder is a Unix path, which Wine maps
// through drive Z:.
std::wstring MediaPath(const char* name);
std::wstring MediaPath(const wchar_t* name);

}  // namespace orvo_test
