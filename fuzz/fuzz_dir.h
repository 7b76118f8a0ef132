#pragma once
// A private scratch directory for fuzz targets that can only reach their
// parser through a file. It lives on /dev/shm when there is one, so an
// input costs a tmpfs write, not a disk write.

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

namespace zefra::fuzz {

inline const std::string& scratchDirectory() {
  static const std::string dir = [] {
    std::string base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string pattern = base + "/zefra-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) __builtin_trap();
    // Removed at exit; a crash leaves it for inspection.
    static const std::string removeAtExit = pattern;
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(removeAtExit, ec);
    });
    return pattern;
  }();
  return dir;
}

inline void writeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out) __builtin_trap();
}

}  // namespace zefra::fuzz
