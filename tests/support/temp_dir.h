#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

namespace zefra::testing {

// A fresh directory under the system temporary directory (or `parent`),
// removed with everything in it when the object goes.
class TempDir {
 public:
  explicit TempDir(const std::filesystem::path& parent = std::filesystem::temp_directory_path()) {
    std::string pattern = (parent / "zefra-test-XXXXXX").string();
    if (::mkdtemp(pattern.data())) {
      path_ = pattern;
    } else {
      ADD_FAILURE() << "mkdtemp failed for " << pattern;
    }
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace zefra::testing
