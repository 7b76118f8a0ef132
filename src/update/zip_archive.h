#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/result.h"

// Zip archives through libarchive: the secure unpacker of updates and the
// writer the maker's tools use.
namespace zefra::update {

struct UnpackLimits {
  std::uint64_t maxEntries = 10'000;
  std::uint64_t maxBytes = std::uint64_t{512} << 20;  // of file contents, all entries together
};

// Extracts a zip archive into the existing directory `destination`. Refused,
// before anything of the entry is written: absolute names, ".." components,
// hard links, anything but files, folders and symlinks, set-user-ID and
// set-group-ID bits, symlinks that are absolute or lead out of the
// destination, writing through a symlink, and archives beyond `limits`.
// Entries written before a refusal stay; nothing lands outside. Modes are
// kept but for group and other write bits, which are never written. An
// unpacker that could not start at all fails with ErrorKind::kUnavailable;
// every other failure is the archive's.
Status unpackZip(const std::string& archivePath, const std::string& destination,
                 const UnpackLimits& limits = {});

// Writes a zip archive entry by entry (names as given, '/'-separated).
class ZipWriter {
 public:
  static Result<ZipWriter> create(const std::string& archivePath);
  ZipWriter(ZipWriter&&) noexcept;
  ZipWriter& operator=(ZipWriter&&) noexcept;
  ~ZipWriter();

  Status addDirectory(std::string_view name, mode_t mode = 0755);
  Status addFile(std::string_view name, std::string_view contents, mode_t mode = 0644);
  Status addSymlink(std::string_view name, std::string_view target);
  // `name` and everything below it, from `path`; symlinks are stored as
  // links, special files refused.
  Status addTree(std::string_view name, const std::string& path);
  // Ends the archive; the file is complete only after this.
  Status finish();

 private:
  struct State;
  explicit ZipWriter(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace zefra::update
