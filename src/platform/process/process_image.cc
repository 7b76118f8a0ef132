#include "platform/process/process_image.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

#include "base/eintr.h"
#include "platform/files/small_file.h"
#include "platform/process/proc_entries.h"

namespace zefra::platform {
namespace {

// Read whole: the kernel bounds both the environment and the map count.
Result<std::string> readEntry(pid_t pid, std::string_view entry) {
  return readSmallFile(procPath(pid, entry), std::numeric_limits<std::size_t>::max());
}

bool hexField(std::string_view text, unsigned long& value) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  return error == std::errc() && end == text.data() + text.size();
}

// "start-end perms offset major:minor inode   path"
bool parseMapping(std::string_view line, ExecutableMapping& out, bool& executable) {
  std::string_view fields[5];
  for (auto& field : fields) {
    const std::size_t start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) return false;
    line.remove_prefix(start);
    const std::size_t end = line.find(' ');
    field = line.substr(0, end);
    line.remove_prefix(end == std::string_view::npos ? line.size() : end);
  }
  executable = fields[1].size() >= 3 && fields[1][2] == 'x';
  const std::size_t colon = fields[3].find(':');
  unsigned long major = 0, minor = 0;
  if (colon == std::string_view::npos || !hexField(fields[3].substr(0, colon), major) ||
      !hexField(fields[3].substr(colon + 1), minor)) {
    return false;
  }
  unsigned long inode = 0;
  auto [end, error] =
      std::from_chars(fields[4].data(), fields[4].data() + fields[4].size(), inode, 10);
  if (error != std::errc() || end != fields[4].data() + fields[4].size()) return false;
  const std::size_t start = line.find_first_not_of(' ');
  out.path = start == std::string_view::npos ? "" : std::string(line.substr(start));
  out.device = ::makedev(major, minor);
  out.inode = inode;
  return true;
}

// The kernel's query of one mapping at a time (Linux 6.11), as its uapi
// header declares it; the formatted text costs several times more, as it
// spells out every mapping and its path.
struct MappingQuery {
  std::uint64_t size, queryFlags, queryAddress, start, end, flags, pageSize, offset, inode;
  std::uint32_t deviceMajor, deviceMinor, nameSize, buildIdSize;
  std::uint64_t nameAddress, buildIdAddress;
};
static_assert(sizeof(MappingQuery) == 104);
constexpr unsigned long kQueryMapping = 0xC0686611;  // _IOWR('f', 17, struct procmap_query)
constexpr std::uint64_t kExecutableVma = 0x04, kCoveringOrNextVma = 0x10, kFileBackedVma = 0x20;

std::atomic<bool> mappingQueryMissing{false};

// The text spells a newline in a path as "\012": one reading for both, and
// no path that breaks a log line.
std::string escapedAsInText(std::string path) {
  for (std::size_t at = path.find('\n'); at != std::string::npos; at = path.find('\n', at)) {
    path.replace(at, 1, "\\012");
  }
  return path;
}

// Nothing when the kernel cannot answer (no such query, a name past the
// buffer, the process gone): the text says then what holds.
std::optional<std::vector<ExecutableMapping>> queriedMappings(pid_t pid) {
  if (mappingQueryMissing.load(std::memory_order_relaxed)) return std::nullopt;
  UniqueFd maps(::open(procPath(pid, "maps").c_str(), O_RDONLY | O_CLOEXEC));
  if (!maps) return std::nullopt;
  std::vector<ExecutableMapping> mappings;
  std::string name(PATH_MAX + 64, '\0');
  for (std::uint64_t at = 0;;) {
    MappingQuery query{};
    query.size = sizeof query;
    query.queryFlags = kExecutableVma | kCoveringOrNextVma | kFileBackedVma;
    query.queryAddress = at;
    query.nameAddress = reinterpret_cast<std::uintptr_t>(name.data());
    query.nameSize = static_cast<std::uint32_t>(name.size());
    if (::ioctl(maps.get(), kQueryMapping, &query) != 0) {
      if (errno == ENOTTY || errno == EINVAL) mappingQueryMissing = true;
      if (errno != ENOENT) return std::nullopt;
      break;
    }
    const std::size_t length = query.nameSize > 0 ? query.nameSize - 1 : 0;
    mappings.push_back({::makedev(query.deviceMajor, query.deviceMinor),
                        static_cast<ino_t>(query.inode), escapedAsInText(name.substr(0, length))});
    at = query.end;
  }
  // A process always maps its program.
  if (mappings.empty()) return std::nullopt;
  return mappings;
}

}  // namespace

Result<std::vector<std::string>> initialEnvironment(pid_t pid) {
  Result<std::string> bytes = readEntry(pid, "environ");
  if (!bytes) return bytes.error();
  std::vector<std::string> entries;
  std::string_view rest = *bytes;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\0');
    entries.emplace_back(rest.substr(0, end));
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
  }
  return entries;
}

Result<std::vector<ExecutableMapping>> executableMappingsFromText(pid_t pid) {
  Result<std::string> text = readEntry(pid, "maps");
  if (!text) return text.error();
  // A process always maps its program: nothing to read means it is gone.
  if (text->empty()) return Error{ESRCH, "the process has no address space"};
  std::vector<ExecutableMapping> mappings;
  std::string_view rest = *text;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    ExecutableMapping mapping;
    bool executable = false;
    if (!parseMapping(line, mapping, executable)) {
      return Error{EINVAL, "cannot read the process's mappings"};
    }
    if (executable && mapping.inode != 0) mappings.push_back(std::move(mapping));
  }
  return mappings;
}

Result<std::vector<ExecutableMapping>> executableMappings(pid_t pid) {
  if (auto queried = queriedMappings(pid)) return std::move(*queried);
  return executableMappingsFromText(pid);
}

Result<ExecWatch> ExecWatch::open(pid_t pid) {
  // The environment is the cheapest view of the address space; a process
  // started with none shows nothing there, so its mappings stand in.
  for (const char* leaf : {"environ", "maps"}) {
    const std::string path = procPath(pid, leaf);
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return errnoError("cannot watch the process", errno);
    ExecWatch watch(std::move(fd));
    if (watch.intact()) return watch;
  }
  return Error{ESRCH, "the process has no address space"};
}

bool ExecWatch::intact() const {
  char byte;
  return base::retryOnEintr([&] { return ::pread(fd_.get(), &byte, 1, 0); }) == 1;
}

}  // namespace zefra::platform
