#include "platform/process/mount_table.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <mutex>

#include "base/no_destructor.h"
#include "platform/files/pipe_io.h"
#include "platform/files/small_file.h"
#include "platform/process/proc_entries.h"

namespace zefra::platform {
namespace {

// Far above any real mount table; a peer that mounts more is refused.
constexpr std::size_t kMaxMountInfo = 16 << 20;

template <class Number>
bool decimalField(std::string_view text, Number& value) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

// The next space-separated field of `line` (paths escape their spaces).
std::string_view nextField(std::string_view& line) {
  const std::size_t end = line.find(' ');
  std::string_view field = line.substr(0, end);
  line.remove_prefix(end == std::string_view::npos ? line.size() : end + 1);
  return field;
}

// "36 35 98:0 /root /mnt rw,noatime master:1 - ext3 /dev/root rw": the
// mount's id is the first field, its device the third, its type the one
// after the lone "-" that ends the optional fields. The type is looked for
// only on the line that matches.
struct MountLine {
  std::uint64_t id = 0;
  dev_t device = 0;
};
std::optional<MountLine> parseStart(std::string_view& line) {
  MountLine parsed;
  if (!decimalField(nextField(line), parsed.id)) return std::nullopt;
  nextField(line);
  const std::string_view numbers = nextField(line);
  const std::size_t colon = numbers.find(':');
  unsigned int major = 0, minor = 0;
  if (colon == std::string_view::npos || !decimalField(numbers.substr(0, colon), major) ||
      !decimalField(numbers.substr(colon + 1), minor)) {
    return std::nullopt;
  }
  parsed.device = ::makedev(major, minor);
  return parsed;
}

template <class Matches>
std::optional<Mount> findMount(std::string_view text, Matches matches) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    auto parsed = parseStart(line);
    if (!parsed || !matches(*parsed)) continue;
    while (!line.empty()) {
      if (nextField(line) != "-") continue;
      const std::string_view type = nextField(line);
      if (type.empty()) return std::nullopt;
      return Mount{parsed->device, std::string(type)};
    }
    return std::nullopt;
  }
  return std::nullopt;
}

// By the mount's id; by the file's device where the kernel gives no ids
// (before 5.8). Nothing but that asked, and no sync: FUSE is not asked.
Result<std::optional<Mount>> mountOf(int dirFd, const char* path, int flags,
                                     std::string_view text) {
  struct statx status {};
  if (::statx(dirFd, path, flags | AT_STATX_DONT_SYNC, STATX_MNT_ID, &status) != 0) {
    return errnoError(std::string("cannot look at ") + (*path ? path : "a held file"), errno);
  }
  if (status.stx_mask & STATX_MNT_ID) {
    return findMount(text, [&](const MountLine& line) { return line.id == status.stx_mnt_id; });
  }
  const dev_t device = ::makedev(status.stx_dev_major, status.stx_dev_minor);
  return findMount(text, [&](const MountLine& line) { return line.device == device; });
}

}  // namespace

Result<std::string> ownMountInfo() {
  struct OwnMounts {
    std::mutex mu;
    UniqueFd watch;    // mu
    std::string text;  // mu
  };
  static base::NoDestructor<OwnMounts> mounts;
  OwnMounts& own = mounts.get();
  std::lock_guard lock(own.mu);
  if (!own.watch) {
    own.watch.reset(::open(ownProcPath("mountinfo").c_str(), O_RDONLY | O_CLOEXEC));
    if (!own.watch) return errnoError("cannot read the mounts", errno);
  }
  // The kernel marks the open file at each change of the mount table, and
  // poll() clears the mark as it reports it.
  pollfd changed{own.watch.get(), POLLPRI, 0};
  if (::poll(&changed, 1, 0) < 0) return errnoError("cannot watch the mounts", errno);
  if (own.text.empty() || (changed.revents & (POLLPRI | POLLERR)) != 0) {
    if (::lseek(own.watch.get(), 0, SEEK_SET) != 0) {
      return errnoError("cannot read the mounts", errno);
    }
    auto text = readToEnd(own.watch.get(), kMaxMountInfo);
    if (!text) return text.error();
    own.text = std::move(text).value();
  }
  return own.text;
}

Result<std::string> mountInfoOf(const PeerProcess& peer) {
  auto shared = sharesOurNamespace(peer, "mnt");
  if (!shared || !*shared) return readSmallFile(procPath(peer.pid, "mountinfo"), kMaxMountInfo);
  return ownMountInfo();
}

std::optional<std::string> fileSystemType(std::string_view text, dev_t device) {
  auto mount = findMount(text, [&](const MountLine& line) { return line.device == device; });
  if (!mount) return std::nullopt;
  return std::move(mount->type);
}

Result<std::optional<Mount>> mountOfHeldFile(int heldFd, std::string_view text) {
  return mountOf(heldFd, "", AT_EMPTY_PATH, text);
}

Result<std::optional<Mount>> mountOfPath(const std::string& path, std::string_view text) {
  return mountOf(AT_FDCWD, path.c_str(), 0, text);
}

}  // namespace zefra::platform
