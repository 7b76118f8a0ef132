#include "platform/process/mount_table.h"

#include <sys/sysmacros.h>

#include <charconv>

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

Result<std::string> readMountInfo(pid_t pid) {
  return readSmallFile(procPath(pid, "mountinfo"), kMaxMountInfo);
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
