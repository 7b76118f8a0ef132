#pragma once

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "platform/files/atomic_file.h"
#include "platform/files/small_file.h"

// Free of gtest, as the benchmarks use it (through codesign_fixture.h):
// failures throw.
namespace zefra::testing {

[[noreturn]] inline void die(const std::string& what) {
  throw std::runtime_error(what + " (" + std::strerror(errno) + ")");
}

template <class T>
T take(base::Result<T> result) {
  if (!result) throw std::runtime_error(result.error().message);
  return std::move(result.value());
}

inline std::string readFile(const std::string& path) {
  return take(platform::readSmallFile(path, std::size_t{1} << 30));
}

// Through a renamed sibling: a new inode, as a package manager replaces a
// file that may be running. Returns `path`.
inline std::string writeFile(const std::string& path, std::string_view bytes, mode_t mode = 0755) {
  take(platform::writeFileAtomically(path, bytes, mode));
  if (::chmod(path.c_str(), mode) != 0) die("cannot write " + path);
  return path;
}

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
