#include "update/zip_archive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "base/unique_fd.h"
#include "platform/files/file_moves.h"
#include "platform/files/small_file.h"
#include "update/archive_library.h"

namespace zefra::update {
namespace {

// Every archive and entry below is made through the library, so it is
// loaded wherever this is reached.
const ArchiveLibrary& lib() {
  return *archiveLibrary();
}

struct ReadCloser {
  void operator()(archive* a) const { lib().archive_read_free(a); }
};
struct WriteCloser {
  void operator()(archive* a) const { lib().archive_write_free(a); }
};
struct EntryFreer {
  void operator()(archive_entry* e) const { lib().archive_entry_free(e); }
};
using ArchiveReader = std::unique_ptr<archive, ReadCloser>;
using ArchiveWriter = std::unique_ptr<archive, WriteCloser>;
using Entry = std::unique_ptr<archive_entry, EntryFreer>;

Error refused(const std::string& name, const std::string& why) {
  return Error{EPERM, "Refused the entry \"" + name + "\": " + why};
}

std::string archiveError(archive* a) {
  const char* text = lib().archive_error_string(a);
  return text ? text : "unknown archive error";
}

// The components of a relative '/'-separated name, "." dropped (so "./"
// has none); nothing when the name is absolute, empty or holds "..".
std::optional<std::vector<std::string>> relativeComponents(std::string_view name) {
  if (name.empty() || name.front() == '/') return std::nullopt;
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = std::min(name.find('/', start), name.size());
    std::string_view part = name.substr(start, end - start);
    if (part == "..") return std::nullopt;
    if (!part.empty() && part != ".") parts.emplace_back(part);
    start = end + 1;
  }
  return parts;
}

// True when a link at `linkParts` with `target` resolves inside the
// destination. ".." is taken only before any name: after one it would climb
// out of wherever that name leads, which its text does not tell (l2 -> l1/..
// with l1 -> . is the link's folder's parent).
bool linkStaysInside(const std::vector<std::string>& linkParts, std::string_view target) {
  if (target.empty() || target.front() == '/') return false;
  std::size_t depth = linkParts.size() - 1;  // the link's folder
  bool named = false;
  std::size_t start = 0;
  while (start <= target.size()) {
    std::size_t end = std::min(target.find('/', start), target.size());
    std::string_view part = target.substr(start, end - start);
    if (part == "..") {
      if (named || depth == 0) return false;
      --depth;
    } else if (!part.empty() && part != ".") {
      named = true;
    }
    start = end + 1;
  }
  return true;
}

}  // namespace

Status unpackZip(const std::string& archivePath, const std::string& destination,
                 const UnpackLimits& limits) {
  // Only a regular file: a FIFO or a device would block or never end. Opened
  // before the reader, which uses it until it goes.
  UniqueFd file(::open(archivePath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!file) return errnoError("Cannot open " + archivePath, errno);
  struct stat st;
  if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return Error{EINVAL, "Cannot read " + archivePath + ": not a regular file"};
  }
  if (!archiveLibrary()) {
    return Error{0, "Cannot load the unpacker", base::ErrorKind::kUnavailable};
  }
  ArchiveReader reader(lib().archive_read_new());
  ArchiveWriter writer(lib().archive_write_disk_new());
  if (!reader || !writer) {
    return Error{0, "Cannot start the unpacker", base::ErrorKind::kUnavailable};
  }
  lib().archive_read_support_format_zip(reader.get());
  // Names are checked below and then placed under the destination's absolute
  // path (the working directory is the whole process's), so the absolute-path
  // rule is ours; libarchive still refuses ".." and writing through links.
  lib().archive_write_disk_set_options(writer.get(), ARCHIVE_EXTRACT_PERM |
                                                         ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                                                         ARCHIVE_EXTRACT_SECURE_NODOTDOT);
  if (lib().archive_read_open_fd(reader.get(), file.get(), 1 << 16) != ARCHIVE_OK) {
    return Error{EINVAL, "Cannot read " + archivePath + ": " + archiveError(reader.get())};
  }

  std::uint64_t entries = 0;
  std::uint64_t bytes = 0;
  std::unordered_set<std::string> folders;  // made for names, whether listed or not
  for (;;) {
    archive_entry* entry = nullptr;
    int next = lib().archive_read_next_header(reader.get(), &entry);
    if (next == ARCHIVE_EOF) break;
    if (next < ARCHIVE_WARN) {
      return Error{EINVAL, "Cannot read " + archivePath + ": " + archiveError(reader.get())};
    }
    if (++entries > limits.maxEntries) {
      return Error{EFBIG,
                   "The archive has more than " + std::to_string(limits.maxEntries) + " entries"};
    }
    const char* rawName = lib().archive_entry_pathname(entry);
    const std::string name = rawName ? rawName : "";
    auto parts = relativeComponents(name);
    if (!parts) return refused(name, "not a relative name inside the archive");
    if (parts->empty() && lib().archive_entry_filetype(entry) == AE_IFDIR) continue;  // "./"
    if (parts->empty()) return refused(name, "not a name inside the archive");
    std::string placed = destination;
    for (const auto& part : *parts) placed += "/" + part;
    // The unpacker makes every missing folder of a name, and works its way
    // through a name longer than a path may be by changing the whole
    // process's working directory: both are bounded here.
    if (placed.size() >= PATH_MAX) return refused(name, "longer than a path may be");
    std::string_view folder(placed);
    for (std::size_t i = parts->size(); i-- > 1;) {
      folder = folder.substr(0, folder.rfind('/'));
      if (!folders.emplace(folder).second) break;  // and so are all above it
      if (folders.size() > limits.maxEntries) {
        return Error{
            EFBIG, "The archive makes more than " + std::to_string(limits.maxEntries) + " folders"};
      }
    }
    if (lib().archive_entry_hardlink(entry)) return refused(name, "hard links are not unpacked");
    const mode_t type = lib().archive_entry_filetype(entry);
    if (type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK) {
      return refused(name, "only files, folders and symlinks are unpacked");
    }
    if (lib().archive_entry_perm(entry) & (S_ISUID | S_ISGID)) {
      return refused(name, "set-user-ID and set-group-ID bits are not unpacked");
    }
    if (type == AE_IFLNK) {
      const char* target = lib().archive_entry_symlink(entry);
      if (!target || !linkStaysInside(*parts, target)) {
        return refused(name, "the symlink leads out of the update");
      }
    }
    if (lib().archive_entry_size_is_set(entry) && lib().archive_entry_size(entry) > 0 &&
        static_cast<std::uint64_t>(lib().archive_entry_size(entry)) > limits.maxBytes - bytes) {
      return Error{EFBIG,
                   "The archive holds more than " + std::to_string(limits.maxBytes) + " bytes"};
    }

    lib().archive_entry_set_pathname(entry, placed.c_str());
    // The seal leaves group and other write bits out and the zip's modes are
    // not signed: an edited archive would otherwise install a helper that
    // anyone may change.
    lib().archive_entry_set_perm(entry, lib().archive_entry_perm(entry) & ~(S_IWGRP | S_IWOTH));
    if (lib().archive_write_header(writer.get(), entry) != ARCHIVE_OK) {
      return refused(name, archiveError(writer.get()));
    }
    if (type == AE_IFREG) {
      for (;;) {
        const void* block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        int read = lib().archive_read_data_block(reader.get(), &block, &size, &offset);
        if (read == ARCHIVE_EOF) break;
        if (read < ARCHIVE_WARN) {
          return Error{EINVAL, "Cannot read " + name + ": " + archiveError(reader.get())};
        }
        if (size > limits.maxBytes - bytes) {
          return Error{EFBIG,
                       "The archive holds more than " + std::to_string(limits.maxBytes) + " bytes"};
        }
        bytes += size;
        if (lib().archive_write_data_block(writer.get(), block, size, offset) < ARCHIVE_WARN) {
          return Error{EIO, "Cannot write " + name + ": " + archiveError(writer.get())};
        }
      }
    }
    if (lib().archive_write_finish_entry(writer.get()) < ARCHIVE_WARN) {
      return Error{EIO, "Cannot write " + name + ": " + archiveError(writer.get())};
    }
  }
  if (lib().archive_write_close(writer.get()) != ARCHIVE_OK) {
    return Error{EIO, "Cannot finish unpacking: " + archiveError(writer.get())};
  }
  return Ok{};
}

struct ZipWriter::State {
  ArchiveWriter writer;
  std::string path;
};

ZipWriter::ZipWriter(std::unique_ptr<State> state) : state_(std::move(state)) {}
ZipWriter::ZipWriter(ZipWriter&&) noexcept = default;
ZipWriter& ZipWriter::operator=(ZipWriter&&) noexcept = default;
ZipWriter::~ZipWriter() = default;

Result<ZipWriter> ZipWriter::create(const std::string& archivePath) {
  if (!archiveLibrary()) return Error{ELIBACC, "Cannot load the archive writer"};
  auto state = std::make_unique<State>();
  state->writer.reset(lib().archive_write_new());
  state->path = archivePath;
  if (!state->writer) return Error{ENOMEM, "Cannot start the archive writer"};
  if (lib().archive_write_set_format_zip(state->writer.get()) != ARCHIVE_OK ||
      lib().archive_write_open_filename(state->writer.get(), archivePath.c_str()) != ARCHIVE_OK) {
    return Error{EIO, "Cannot write " + archivePath + ": " + archiveError(state->writer.get())};
  }
  return ZipWriter(std::move(state));
}

namespace {

Status writeEntry(archive* writer, std::string_view name, mode_t type, mode_t mode,
                  std::string_view contents, std::string_view linkTarget, time_t mtime) {
  Entry entry(lib().archive_entry_new());
  if (!entry) return Error{ENOMEM, "Cannot make an archive entry"};
  std::string text(name);
  lib().archive_entry_set_pathname(entry.get(), text.c_str());
  lib().archive_entry_set_filetype(entry.get(), type);
  lib().archive_entry_set_perm(entry.get(), mode);
  lib().archive_entry_set_mtime(entry.get(), mtime, 0);
  if (type == AE_IFLNK)
    lib().archive_entry_set_symlink(entry.get(), std::string(linkTarget).c_str());
  lib().archive_entry_set_size(entry.get(),
                               type == AE_IFREG ? static_cast<la_int64_t>(contents.size()) : 0);
  if (lib().archive_write_header(writer, entry.get()) != ARCHIVE_OK) {
    return Error{EIO, "Cannot add " + text + ": " + archiveError(writer)};
  }
  if (type == AE_IFREG && !contents.empty() &&
      lib().archive_write_data(writer, contents.data(), contents.size()) < 0) {
    return Error{EIO, "Cannot add " + text + ": " + archiveError(writer)};
  }
  return Ok{};
}

}  // namespace

Status ZipWriter::addDirectory(std::string_view name, mode_t mode) {
  std::string folder(name);
  if (!folder.ends_with('/')) folder += '/';
  return writeEntry(state_->writer.get(), folder, AE_IFDIR, mode, {}, {}, ::time(nullptr));
}

Status ZipWriter::addFile(std::string_view name, std::string_view contents, mode_t mode) {
  return writeEntry(state_->writer.get(), name, AE_IFREG, mode, contents, {}, ::time(nullptr));
}

Status ZipWriter::addSymlink(std::string_view name, std::string_view target) {
  return writeEntry(state_->writer.get(), name, AE_IFLNK, 0777, {}, target, ::time(nullptr));
}

Status ZipWriter::addTree(std::string_view name, const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return errnoError("Cannot read " + path, errno);
  const mode_t mode = st.st_mode & 07777;
  if (S_ISLNK(st.st_mode)) {
    std::string target(static_cast<std::size_t>(st.st_size) + 1, '\0');
    ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
    if (length < 0) return errnoError("Cannot read the link " + path, errno);
    target.resize(static_cast<std::size_t>(length));
    return writeEntry(state_->writer.get(), name, AE_IFLNK, 0777, {}, target, st.st_mtime);
  }
  if (S_ISREG(st.st_mode)) {
    auto contents = platform::readSmallFile(path, std::size_t{1} << 31);
    if (!contents) return contents.error();
    return writeEntry(state_->writer.get(), name, AE_IFREG, mode, *contents, {}, st.st_mtime);
  }
  if (!S_ISDIR(st.st_mode)) return Error{EINVAL, "Cannot archive the special file " + path};
  std::string folder(name);
  if (!folder.ends_with('/')) folder += '/';
  if (auto added = writeEntry(state_->writer.get(), folder, AE_IFDIR, mode, {}, {}, st.st_mtime);
      !added) {
    return added;
  }
  auto names = platform::listDirectory(path);
  if (!names) return names.error();
  std::sort(names->begin(), names->end());
  for (const auto& child : *names) {
    if (auto added = addTree(std::string(name) + "/" + child, path + "/" + child); !added) {
      return added;
    }
  }
  return Ok{};
}

Status ZipWriter::finish() {
  if (lib().archive_write_close(state_->writer.get()) != ARCHIVE_OK) {
    return Error{EIO, "Cannot write " + state_->path + ": " + archiveError(state_->writer.get())};
  }
  return Ok{};
}

}  // namespace zefra::update
