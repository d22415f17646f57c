#include "AccessUnit.h"

#include <cstdio>

namespace orvo_hostkit {

bool ReadWholeFile(const std::wstring& path, std::vector<uint8_t>* bytes) {
  FILE* file = _wfopen(path.c_str(), L"rb");
  if (!file) return false;
  bytes->clear();
  uint8_t chunk[65536];
  size_t got = 0;
  while ((got = fread(chunk, 1, sizeof(chunk), file)) > 0) bytes->insert(bytes->end(), chunk, chunk + got);
  fclose(file);
  return true;
}

}  // namespace orvo_hostkit
