#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "base/result.h"
#include "base/unique_fd.h"

namespace zefra::platform {

// New contents for `target` that replace it in one step once complete, or
// never: they go to "<target>.tmp", created afresh beside it (whatever was
// there, a crashed writer's file or a link to another of the user's files, is
// removed, never opened), and commit() syncs that file, renames it over the
// target and syncs the folder, so a crash leaves the old file or the new one.
// Dropped uncommitted, it removes its temporary file. Writers of one target
// take turns (the defaults hold a lock): one that finds its temporary file
// replaced by another's fails rather than install it.
class AtomicFile {
 public:
  // The file is created with `mode`, less the umask.
  static Result<AtomicFile> create(const std::string& target, mode_t mode);
  AtomicFile(AtomicFile&& other) noexcept;
  AtomicFile& operator=(AtomicFile&&) = delete;
  ~AtomicFile();

  int fd() const { return fd_.get(); }
  const std::string& temporaryPath() const { return temporary_; }
  // Appends every byte; errors name the temporary file.
  Status write(std::string_view bytes);
  // The descriptor stays open: it then refers to the target.
  Status commit();
  UniqueFd releaseFd() { return std::move(fd_); }

 private:
  AtomicFile(std::string target, std::string temporary, UniqueFd fd)
      : target_(std::move(target)), temporary_(std::move(temporary)), fd_(std::move(fd)) {}
  bool temporaryIsOurs() const;

  std::string target_;
  std::string temporary_;
  UniqueFd fd_;
  bool pending_ = true;
};

// Replaces `target` with `contents` through an AtomicFile.
Status writeFileAtomically(const std::string& target, std::string_view contents, mode_t mode);

}  // namespace zefra::platform
