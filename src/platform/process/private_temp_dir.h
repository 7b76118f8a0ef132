#pragma once

#include <string>

#include "base/result.h"

namespace zefra::platform {

// A folder only the user may enter (0700), made fresh in the helper's
// temporary directory for one run: its TMPDIR, and under confinement one of
// the folders it may write. Removed with everything in it when the object
// goes, never following a symlink the tool left there.
class PrivateTempDir {
 public:
  static Result<PrivateTempDir> make();
  PrivateTempDir(PrivateTempDir&& other) noexcept;
  PrivateTempDir& operator=(PrivateTempDir&&) = delete;
  ~PrivateTempDir();

  const std::string& path() const { return path_; }

 private:
  explicit PrivateTempDir(std::string path) : path_(std::move(path)) {}
  std::string path_;
};

}  // namespace zefra::platform
