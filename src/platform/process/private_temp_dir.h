#pragma once

#include <string>

#include "base/result.h"
#include "base/unique_fd.h"

namespace zefra::platform {

// A folder only the user may enter (0700), made fresh in the helper's
// temporary directory for one run: its TMPDIR, and under confinement one of
// the folders it may write. Removed with everything in it when the object
// goes, never following a symlink the tool left there. It is locked while
// the object lives, so that another helper can tell a folder whose maker is
// gone from one still in use.
class PrivateTempDir {
 public:
  static Result<PrivateTempDir> make();
  PrivateTempDir(PrivateTempDir&& other) noexcept;
  PrivateTempDir& operator=(PrivateTempDir&&) = delete;
  ~PrivateTempDir();

  const std::string& path() const { return path_; }
  // The folder itself, held open: a Landlock rule built from it allows this
  // folder, wherever its name has come to lead.
  int fd() const { return lock_.get(); }
  // Whether path() still names this folder. Any program that can write in
  // the temporary directory can move it and put a link in its place.
  bool inPlace() const;

  // Removes the empty folders of this kind in the temporary directory that
  // nobody holds: those of a helper killed before it removed them. One with
  // something in it is left, as a tool of that helper may still use it.
  static void removeLeftBehind();

 private:
  PrivateTempDir(std::string path, base::UniqueFd lock)
      : path_(std::move(path)), lock_(std::move(lock)) {}
  std::string path_;
  base::UniqueFd lock_;
};

}  // namespace zefra::platform
