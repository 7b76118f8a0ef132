#pragma once

#include <fstream>
#include <sstream>
#include <string>

namespace zefra::testing {

// The whole of a file; empty when it cannot be read.
inline std::string fileText(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

inline std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

}  // namespace zefra::testing
