#include "MediaFiles.h"

namespace orvo_test {

std::wstring MediaPath(const wchar_t* name) {
  std::wstring path = L"Z:";
  for (const char* c = ORVO_SOURCE_DIR; *c; ++c) path += static_cast<wchar_t>(*c == '/' ? '\\' : *c);
  return path + L"\\tests\\media\\" + name;
}

std::wstring MediaPath(const char* name) {
  const std::string narrow(name);
  return MediaPath(std::wstring(narrow.begin(), narrow.end()).c_str());
}

}  // namespace orvo_test
