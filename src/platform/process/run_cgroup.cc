#include "platform/process/run_cgroup.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <optional>
#include <sstream>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/files/small_file.h"
#include "platform/process/pidfd.h"

namespace zefra::platform {

namespace {

constexpr unsigned long kCgroup2Magic = 0x63677270;
// How long remove() waits for a cgroup's processes to be gone, and how often
// it goes over a cgroup whose processes keep forking.
constexpr double kRemovalWait = 5.0;
constexpr int kRounds = 100;
// How long a round of SIGKILL (where cgroup.kill is missing) waits for the
// cgroup to empty before the next.
constexpr double kKillRound = 0.05;

std::atomic<bool> killFileRefused{false};

std::atomic<unsigned> nextRun{0};

// A mountinfo field with its octal escapes (\040 for a space) undone.
std::string unescaped(std::string_view field) {
  std::string text;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      int value = 0;
      auto [end, ec] = std::from_chars(field.data() + i + 1, field.data() + i + 4, value, 8);
      if (ec == std::errc() && end == field.data() + i + 4) {
        text.push_back(static_cast<char>(value));
        i += 3;
        continue;
      }
    }
    text.push_back(field[i]);
  }
  return text;
}

// The directory of cgroup `cgroup` (a path from /proc/self/cgroup): under a
// cgroup2 mount whose root holds it.
std::optional<std::string> cgroupDirectory(const std::string& mountinfo,
                                           const std::string& cgroup) {
  std::istringstream lines(mountinfo);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::vector<std::string> fields;
    for (std::string word; words >> word;) fields.push_back(word);
    auto separator = std::find(fields.begin(), fields.end(), "-");
    if (fields.size() < 5 || separator == fields.end() || separator + 1 == fields.end() ||
        *(separator + 1) != "cgroup2") {
      continue;
    }
    const std::string root = unescaped(fields[3]);
    const std::string mountPoint = unescaped(fields[4]);
    if (root == "/") return cgroup == "/" ? mountPoint : mountPoint + cgroup;
    if (cgroup == root) return mountPoint;
    if (cgroup.compare(0, root.size() + 1, root + "/") == 0) {
      return mountPoint + cgroup.substr(root.size());
    }
  }
  return std::nullopt;
}

std::optional<std::string> ownCgroup() {
  auto text = readSmallFile("/proc/self/cgroup");
  if (!text) return std::nullopt;
  std::istringstream lines(*text);
  for (std::string line; std::getline(lines, line);) {
    if (line.compare(0, 3, "0::") == 0) return line.substr(3);
  }
  return std::nullopt;
}

Result<std::string> readAt(int directory, const char* name) {
  UniqueFd fd(::openat(directory, name, O_RDONLY | O_CLOEXEC));
  if (!fd) return errnoError(std::string("Could not open ") + name, errno);
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got > 0) {
      text.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0) {
      return text;
    } else if (errno != EINTR) {
      return errnoError(std::string("Could not read ") + name, errno);
    }
  }
}

Status writeAt(int fd, const std::string& text) {
  for (;;) {
    if (::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size())) return Ok{};
    if (errno != EINTR) return errnoError("Could not write " + text, errno);
  }
}

bool listsPid(const std::vector<pid_t>& pids, pid_t pid) {
  return std::find(pids.begin(), pids.end(), pid) != pids.end();
}

// "populated 0" in cgroup.events.
bool eventsSayEmpty(int events) {
  char buffer[256];
  ssize_t got = ::pread(events, buffer, sizeof buffer - 1, 0);
  if (got <= 0) return false;
  buffer[got] = '\0';
  return std::string_view(buffer, static_cast<std::size_t>(got)).find("populated 0") !=
         std::string_view::npos;
}

// The cgroups directly inside the one at `at` below `directory`; none when
// it cannot be read.
std::vector<std::string> childCgroups(int directory, const std::string& at) {
  std::vector<std::string> names;
  UniqueFd fd(::openat(directory, at.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  DIR* dir = fd ? ::fdopendir(fd.get()) : nullptr;
  if (!dir) return names;
  (void)fd.release();
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (entry->d_type == DT_DIR && name != "." && name != "..") names.emplace_back(name);
  }
  ::closedir(dir);
  return names;
}

constexpr std::string_view kRunPrefix = "zefra-run-";

// Run cgroups of a helper killed before it removed them (the one made ahead
// for its next run, or a run's): empty ones of a pid no longer alive.
void removeLeftRunCgroups(int directory) {
  for (const std::string& child : childCgroups(directory, ".")) {
    std::string_view name = child;
    if (!name.starts_with(kRunPrefix)) continue;
    name.remove_prefix(kRunPrefix.size());
    pid_t pid = 0;
    const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), pid);
    if (ec != std::errc{} || end == name.data() + name.size() || *end != '-') continue;
    if (pid == ::getpid() || ::kill(pid, 0) == 0 || errno != ESRCH) continue;
    // rmdir leaves a cgroup that still holds a process.
    (void)::unlinkat(directory, child.c_str(), AT_REMOVEDIR);
  }
}

}  // namespace

RunCgroupParent RunCgroupParent::locate() {
  RunCgroupParent parent;
  auto cgroup = ownCgroup();
  if (!cgroup) {
    parent.reason_ = "this process is in no cgroup v2 hierarchy";
    return parent;
  }
  auto mountinfo = readSmallFile("/proc/self/mountinfo", 4 << 20);
  auto directory = mountinfo ? cgroupDirectory(*mountinfo, *cgroup) : std::nullopt;
  if (!directory) {
    parent.reason_ = "no cgroup2 mount shows this process's cgroup " + *cgroup;
    return parent;
  }
  return at(*directory);
}

RunCgroupParent RunCgroupParent::at(const std::string& directory) {
  RunCgroupParent parent;
  parent.path_ = directory;
  auto refuse = [&](const std::string& why, int err) {
    parent.reason_ = errnoError("cannot make cgroups in " + directory + ": " + why, err).message;
    return parent;
  };
  UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) return refuse("it cannot be opened", errno);
  struct statfs fs {};
  if (::fstatfs(dir.get(), &fs) != 0) return refuse("it cannot be examined", errno);
  if (static_cast<unsigned long>(fs.f_type) != kCgroup2Magic) {
    return refuse("it is not a cgroup v2 directory", ENOTSUP);
  }
  const std::string probe =
      "zefra-probe-" + std::to_string(::getpid()) + "-" + std::to_string(nextRun++);
  if (::mkdirat(dir.get(), probe.c_str(), 0755) != 0) return refuse("making one failed", errno);
  ::unlinkat(dir.get(), probe.c_str(), AT_REMOVEDIR);
  removeLeftRunCgroups(dir.get());
  UniqueFd procs(::openat(dir.get(), "cgroup.procs", O_WRONLY | O_CLOEXEC));
  if (!procs) return refuse("its cgroup.procs cannot be written", errno);
  parent.directory_ = std::make_shared<const UniqueFd>(std::move(dir));
  parent.procs_ = std::make_shared<const UniqueFd>(std::move(procs));
  return parent;
}

Result<RunCgroup> RunCgroupParent::makeRunCgroup() const {
  if (!available()) return Error{ENOTSUP, reason_};
  // A killed helper of the same pid may have left names behind.
  std::string name;
  for (int attempt = 0;; ++attempt) {
    name = std::string(kRunPrefix) + std::to_string(::getpid()) + "-" + std::to_string(nextRun++);
    if (::mkdirat(directory_->get(), name.c_str(), 0755) == 0) break;
    if (errno != EEXIST || attempt == 63) {
      return errnoError("Could not make a cgroup for the run in " + path_, errno);
    }
  }
  UniqueFd fd(::openat(directory_->get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) {
    const int err = errno;
    ::unlinkat(directory_->get(), name.c_str(), AT_REMOVEDIR);
    return errnoError("Could not open the run's cgroup in " + path_, err);
  }
  std::string path = path_ + "/" + name;
  return RunCgroup(std::move(name), std::move(path), std::move(fd), directory_, procs_);
}

RunCgroup::RunCgroup(std::string name, std::string path, UniqueFd directory,
                     std::shared_ptr<const UniqueFd> parent,
                     std::shared_ptr<const UniqueFd> parentProcs)
    : name_(std::move(name)),
      path_(std::move(path)),
      directory_(std::move(directory)),
      parent_(std::move(parent)),
      parentProcs_(std::move(parentProcs)) {}

RunCgroup::RunCgroup(RunCgroup&& other) noexcept
    : name_(std::move(other.name_)),
      path_(std::move(other.path_)),
      directory_(std::move(other.directory_)),
      parent_(std::move(other.parent_)),
      parentProcs_(std::move(other.parentProcs_)),
      ending_(other.ending_),
      removed_(std::exchange(other.removed_, true)) {}

RunCgroup::~RunCgroup() {
  (void)remove();
}

std::vector<std::string> RunCgroup::cgroups() const {
  std::vector<std::string> found{"."};
  // Each cgroup's children follow it, so the reverse order removes leaves first.
  for (std::size_t next = 0; next < found.size(); ++next) {
    for (const std::string& child : childCgroups(directory_.get(), found[next])) {
      found.push_back(found[next] + "/" + child);
    }
  }
  return found;
}

std::vector<pid_t> RunCgroup::processes() const {
  std::vector<pid_t> pids;
  for (const std::string& cgroup : cgroups()) {
    auto text = readAt(directory_.get(), (cgroup + "/cgroup.procs").c_str());
    if (!text) continue;
    const char* p = text->data();
    const char* end = p + text->size();
    while (p < end) {
      pid_t pid = 0;
      auto [next, ec] = std::from_chars(p, end, pid);
      if (ec == std::errc()) pids.push_back(pid);
      p = next + 1;
    }
  }
  return pids;
}

bool RunCgroup::populated() const {
  UniqueFd events(::openat(directory_.get(), "cgroup.events", O_RDONLY | O_CLOEXEC));
  return !events || !eventsSayEmpty(events.get());
}

bool RunCgroup::waitUntilEmpty(const base::Deadline& deadline) const {
  UniqueFd events(::openat(directory_.get(), "cgroup.events", O_RDONLY | O_CLOEXEC));
  if (!events) return false;
  // The file signals a change with POLLPRI; then it is read afresh.
  for (;;) {
    if (eventsSayEmpty(events.get())) return true;
    if (deadline.passed()) return false;
    pollfd entry{events.get(), POLLPRI, 0};
    if (::poll(&entry, 1, deadline.pollTimeout()) < 0 && errno != EINTR) return false;
  }
}

Status RunCgroup::signalEach(int sig) const {
  std::vector<std::pair<pid_t, UniqueFd>> seen;
  for (pid_t pid : processes()) {
    if (auto pidfd = openPidfd(pid)) seen.emplace_back(pid, std::move(*pidfd));
  }
  // A pid listed again after its pidfd was opened names that pidfd's
  // process, unless that one has been reaped meanwhile, and then the pidfd
  // signals nobody.
  const std::vector<pid_t> still = processes();
  Status status = Ok{};
  for (const auto& [pid, pidfd] : seen) {
    if (!listsPid(still, pid)) continue;
    auto sent = signalPidfd(pidfd.get(), sig);
    if (!sent && sent.error().code != ESRCH) status = sent;
  }
  return status;
}

Status RunCgroup::terminate() {
  ending_ = true;
  return signalEach(SIGTERM);
}

Status RunCgroup::kill() {
  ending_ = true;
  if (!killFileRefused.load()) {
    UniqueFd killFile(::openat(directory_.get(), "cgroup.kill", O_WRONLY | O_CLOEXEC));
    if (killFile) return writeAt(killFile.get(), "1");
    if (errno != ENOENT) return errnoError("Could not kill the cgroup " + path_, errno);
  }
  return signalEach(SIGKILL);
}

Status RunCgroup::moveLeftoversOut() const {
  for (int round = 0; round < kRounds; ++round) {
    const std::vector<pid_t> pids = processes();
    if (pids.empty()) return Ok{};
    for (pid_t pid : pids) {
      auto moved = writeAt(parentProcs_->get(), std::to_string(pid));
      if (!moved && moved.error().code != ESRCH) {
        return errnoError("Could not move process " + std::to_string(pid) + " out of " + path_,
                          moved.error().code);
      }
    }
  }
  return Error{EBUSY, "The processes in " + path_ + " kept forking while they were moved out"};
}

Status RunCgroup::remove() {
  if (removed_) return Ok{};
  removed_ = true;
  auto removeDirectory = [&] {
    if (::unlinkat(parent_->get(), name_.c_str(), AT_REMOVEDIR) != 0) return false;
    directory_.reset();
    return true;
  };
  // The usual end: nothing left in it and no cgroups of its own, so it goes
  // without a look inside.
  if (removeDirectory()) return Ok{};
  const base::Deadline deadline = base::Deadline::after(kRemovalWait);
  Status status = Ok{};
  if (ending_) {
    // Without cgroup.kill a fork in flight escapes a round of SIGKILL; its
    // child is in the cgroup, so the next round finds it.
    do {
      status = kill();
    } while (status && !waitUntilEmpty(base::Deadline::after(kKillRound)) && !deadline.passed());
  } else {
    status = moveLeftoversOut();
  }
  // Killed processes take a moment to go; no cgroup can be removed before.
  if (!waitUntilEmpty(deadline)) {
    return Error{EBUSY, "The processes in " + path_ + " did not end; the cgroup stays"};
  }
  // A tool may have made cgroups of its own in its cgroup; leaves first.
  const std::vector<std::string> cgroups = this->cgroups();
  for (auto cgroup = cgroups.rbegin(); cgroup + 1 != cgroups.rend(); ++cgroup) {
    (void)::unlinkat(directory_.get(), cgroup->c_str(), AT_REMOVEDIR);
  }
  if (!removeDirectory()) return errnoError("Could not remove the cgroup " + path_, errno);
  return status;
}

void forceSignalKillForTesting(bool force) {
  killFileRefused.store(force);
}

}  // namespace zefra::platform
