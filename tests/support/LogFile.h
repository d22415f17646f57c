#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace orvo_test {

// The library's log beside this test program ("ORVO.Media.log" in the working folder). A test
// remembers LogSize() before it acts and reads only what was written after that.
std::string ReadLog(size_t from = 0);
size_t LogSize();
// The log's lines from byte offset `from`, without their line endings.
std::vector<std::string> ReadLogLines(size_t from = 0);
int CountOccurrences(const std::string& text, const std::string& what);

}  // namespace orvo_test
