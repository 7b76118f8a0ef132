#include "platform/process/mount_table.h"

#include <fcntl.h>
#include <poll.h>
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

bool decimalField(std::string_view text, unsigned int& value) {
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
// device is the third field, the type the one after the lone "-" that ends
// the optional fields.
std::optional<std::string_view> typeIfOn(std::string_view line, dev_t device) {
  nextField(line);
  nextField(line);
  const std::string_view numbers = nextField(line);
  const std::size_t colon = numbers.find(':');
  unsigned int major = 0, minor = 0;
  if (colon == std::string_view::npos || !decimalField(numbers.substr(0, colon), major) ||
      !decimalField(numbers.substr(colon + 1), minor) || ::makedev(major, minor) != device) {
    return std::nullopt;
  }
  while (!line.empty()) {
    if (nextField(line) == "-") {
      std::string_view type = nextField(line);
      if (type.empty()) return std::nullopt;
      return type;
    }
  }
  return std::nullopt;
}

}  // namespace

Result<std::string> mountInfoOf(const PeerProcess& peer) {
  auto shared = sharesOurNamespace(peer, "mnt");
  if (!shared || !*shared) return readSmallFile(procPath(peer.pid, "mountinfo"), kMaxMountInfo);
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

std::optional<std::string> fileSystemType(std::string_view text, dev_t device) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    if (auto type = typeIfOn(text.substr(0, end), device)) return std::string(*type);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  return std::nullopt;
}

}  // namespace zefra::platform
