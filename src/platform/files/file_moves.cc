#include "platform/files/file_moves.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <memory>

#include "base/eintr.h"
#include "base/unique_fd.h"
#include "platform/files/files.h"
#include "platform/files/pipe_io.h"

namespace zefra::platform {
namespace {

namespace fs = std::filesystem;

int renameAt2(const std::string& from, const std::string& to, unsigned flags) {
  return static_cast<int>(
      ::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), flags));
}

Status copyFileContents(int fromFd, int toFd) {
  char buffer[1 << 16];
  for (;;) {
    const ssize_t got = base::retryOnEintr([&] { return ::read(fromFd, buffer, sizeof buffer); });
    if (got < 0) return errnoError("read", errno);
    if (got == 0) return Ok{};
    if (auto put = writeAll(toFd, {buffer, static_cast<std::size_t>(got)}); !put) return put;
  }
}

// Recursive copy of `name` in the open folder `fromDir` (at `from`, for
// messages) that never follows a symlink and refuses special files. It walks
// by descriptor: another program that swaps a folder on the way down for a
// link, or a file for a FIFO, leads it neither out of the tree nor into a
// wait.
Status copyTree(int fromDir, const std::string& name, const std::string& from,
                const std::string& to) {
  struct stat st;
  if (::fstatat(fromDir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return errnoError("Cannot read " + from, errno);
  }
  const mode_t mode = st.st_mode & 07777;
  if (S_ISLNK(st.st_mode)) {
    std::string target(static_cast<std::size_t>(st.st_size) + 1, '\0');
    ssize_t length = ::readlinkat(fromDir, name.c_str(), target.data(), target.size());
    if (length < 0) return errnoError("Cannot read the link " + from, errno);
    target.resize(static_cast<std::size_t>(length));
    if (::symlink(target.c_str(), to.c_str()) != 0) {
      return errnoError("Cannot create " + to, errno);
    }
    return Ok{};
  }
  if (S_ISDIR(st.st_mode)) {
    UniqueFd folder(
        ::openat(fromDir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder) return errnoError("Cannot list " + from, errno);
    if (::mkdir(to.c_str(), 0700) != 0) return errnoError("Cannot create " + to, errno);
    auto names = listDirectory(folder.get(), from);
    if (!names) return names.error();
    for (const auto& child : *names) {
      if (auto copied = copyTree(folder.get(), child, from + "/" + child, to + "/" + child);
          !copied) {
        return copied;
      }
    }
    if (::chmod(to.c_str(), mode) != 0) return errnoError("Cannot set the mode of " + to, errno);
    return Ok{};
  }
  const Error special{EINVAL, "Cannot copy the special file " + from};
  if (!S_ISREG(st.st_mode)) return special;
  auto in = openRegularFileAt(fromDir, name, O_RDONLY);
  if (!in) return in.error().code == kNotRegularFile ? special : in.error();
  UniqueFd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!out) return errnoError("Cannot create " + to, errno);
  if (auto copied = copyFileContents(in->get(), out.get()); !copied) {
    return Error{copied.error().code, "Cannot copy " + from + ": " + copied.error().message};
  }
  if (::fchmod(out.get(), mode) != 0) return errnoError("Cannot set the mode of " + to, errno);
  return Ok{};
}

}  // namespace

std::string temporaryDirectory() {
  std::string chosen = "/tmp";
  if (const char* tmp = ::getenv("TMPDIR"); tmp && tmp[0] == '/') {
    struct stat st;
    if (::stat(tmp, &st) == 0 && S_ISDIR(st.st_mode)) chosen = tmp;
  }
  struct Freer {
    void operator()(char* p) const { ::free(p); }
  };
  std::unique_ptr<char, Freer> resolved(::realpath(chosen.c_str(), nullptr));
  return resolved ? std::string(resolved.get()) : chosen;
}

Result<std::string> makeTemporaryDirectory(const std::string& prefix) {
  std::string pattern = temporaryDirectory() + "/" + prefix + "XXXXXX";
  if (!::mkdtemp(pattern.data())) return errnoError("Cannot create a folder in " + pattern, errno);
  return pattern;
}

Status createDirectories(const std::string& path, mode_t mode) {
  if (path.empty()) return Error{EINVAL, "No directory given"};
  // The usual case, a folder that exists, costs one call.
  if (::mkdir(path.c_str(), mode) == 0) return Ok{};
  if (const auto last = path.rfind('/'); errno == ENOENT && last != std::string::npos) {
    // The parent, without the slashes that end it; none above the root.
    if (const auto end = path.find_last_not_of('/', last); end != std::string::npos) {
      if (auto parent = createDirectories(path.substr(0, end + 1), mode); !parent) return parent;
      if (::mkdir(path.c_str(), mode) == 0) return Ok{};
    }
  }
  if (errno != EEXIST) return errnoError("Cannot create the folder " + path, errno);
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return Error{ENOTDIR, "Cannot create the folder " + path + ": Not a directory"};
  }
  return Ok{};
}

bool isRealDirectory(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Result<std::vector<std::string>> listDirectory(int folderFd, const std::string& path) {
  struct Closer {
    void operator()(DIR* d) const { ::closedir(d); }
  };
  // A descriptor of its own, which the listing closes.
  UniqueFd folder(::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::unique_ptr<DIR, Closer> dir(folder ? ::fdopendir(folder.get()) : nullptr);
  if (!dir) return errnoError("Cannot list " + path, errno);
  folder.release();
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = ::readdir(dir.get())) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
    errno = 0;
  }
  if (errno != 0) return errnoError("Cannot list " + path, errno);
  return names;
}

Result<std::vector<std::string>> listDirectory(const std::string& path) {
  UniqueFd folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder) return errnoError("Cannot list " + path, errno);
  return listDirectory(folder.get(), path);
}

Status moveItem(const std::string& from, const std::string& to) {
  if (renameAt2(from, to, RENAME_NOREPLACE) == 0) return Ok{};
  int err = errno;
  if (err == EINVAL || err == ENOSYS) {
    // A file system without RENAME_NOREPLACE: check, then rename.
    struct stat st;
    if (::lstat(to.c_str(), &st) == 0)
      err = EEXIST;
    else if (::rename(from.c_str(), to.c_str()) == 0)
      return Ok{};
    else
      err = errno;
  }
  if (err != EXDEV) return errnoError("Cannot move " + from + " to " + to, err);
  if (auto copied = copyItem(from, to); !copied) return copied;
  if (auto removed = removeItem(from); !removed) {
    (void)removeItem(to);
    return removed;
  }
  return Ok{};
}

Status copyItem(const std::string& from, const std::string& to) {
  struct stat st;
  if (::lstat(to.c_str(), &st) == 0) {
    return Error{EEXIST, "Cannot copy " + from + " to " + to + ": File exists"};
  }
  // The folder it lies in is the caller's; from there on, descriptors.
  fs::path source(from);
  if (!source.has_filename()) source = source.parent_path();  // a final slash
  const std::string parent = source.has_parent_path() ? source.parent_path().string() : ".";
  UniqueFd folder(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder) return errnoError("Cannot read " + from, errno);
  auto copied = copyTree(folder.get(), source.filename().string(), from, to);
  if (!copied) (void)removeItem(to);
  return copied;
}

Status exchangeItems(const std::string& first, const std::string& second) {
  if (renameAt2(first, second, RENAME_EXCHANGE) == 0) return Ok{};
  return errnoError("Cannot exchange " + first + " and " + second, errno);
}

Status removeItem(const std::string& path) {
  std::error_code error;
  fs::remove_all(path, error);
  if (error) return Error{error.value(), "Cannot remove " + path + ": " + error.message()};
  return Ok{};
}

}  // namespace zefra::platform
