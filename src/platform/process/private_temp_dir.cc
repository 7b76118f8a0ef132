#include "platform/process/private_temp_dir.h"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <utility>

#include "platform/files/files.h"

namespace zefra::platform {

Result<PrivateTempDir> PrivateTempDir::make() {
  std::error_code error;
  auto base = std::filesystem::temp_directory_path(error);
  if (error) base = "/tmp";
  std::string pattern = (base / "zefra-run-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) {
    return errnoError("Could not make a temporary folder for the run in " + base.string(), errno);
  }
  return PrivateTempDir(std::move(pattern));
}

PrivateTempDir::PrivateTempDir(PrivateTempDir&& other) noexcept
    : path_(std::exchange(other.path_, std::string())) {}

PrivateTempDir::~PrivateTempDir() {
  if (path_.empty()) return;
  // Most tools leave it empty; each step of the full walk is a write to the
  // file system's journal.
  if (::rmdir(path_.c_str()) != 0) (void)removeTree(path_);
}

}  // namespace zefra::platform
