#include "LogFile.h"

#include <fstream>
#include <sstream>

namespace orvo_test {

std::string ReadLog(size_t from) {
  std::ifstream file("ORVO.Media.log", std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  const std::string all = text.str();
  return from < all.size() ? all.substr(from) : std::string();
}

size_t LogSize() { return ReadLog(0).size(); }

std::vector<std::string> ReadLogLines(size_t from) {
  std::vector<std::string> lines;
  std::istringstream text(ReadLog(from));
  for (std::string line; std::getline(text, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

int CountOccurrences(const std::string& text, const std::string& what) {
  int count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++count;
  return count;
}

}  // namespace orvo_test
