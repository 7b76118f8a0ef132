#include "platform/desktop/workspace.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>
#include <cerrno>
#include <map>

#include "base/no_destructor.h"
#include "platform/desktop/bundle.h"
#include "platform/dispatch/main_queue.h"
#include "platform/process/proc_entries.h"

namespace zefra::platform {

namespace {

constexpr auto kScanInterval = std::chrono::seconds(2);

std::optional<std::string> executableOf(pid_t pid) {
  const std::string link = procPath(pid, "exe");
  char target[4096];
  const ssize_t length = ::readlink(link.c_str(), target, sizeof target);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) return std::nullopt;
  return std::string(target, static_cast<std::size_t>(length));
}

}  // namespace

RunningApplication::RunningApplication(pid_t pid, std::optional<std::string> bundleIdentifier,
                                       std::string bundlePath,
                                       std::shared_ptr<const UniqueFd> pidfd)
    : pid_(pid),
      bundleIdentifier_(std::move(bundleIdentifier)),
      bundlePath_(std::move(bundlePath)),
      pidfd_(std::move(pidfd)) {}

bool RunningApplication::isTerminated() const {
  if (!pidfd_) return true;
  pollfd entry{pidfd_->get(), POLLIN, 0};
  return ::poll(&entry, 1, 0) != 0;  // readable once the process has exited
}

struct Workspace::Impl : std::enable_shared_from_this<Workspace::Impl> {
  struct Tracked {
    RunningApplication application;
    std::unique_ptr<asio::posix::stream_descriptor> watch;
  };

  void start() {
    if (started) return;
    started = true;
    scan();
    scheduleScan();
  }

  void scheduleScan() {
    timer.expires_after(kScanInterval);
    timer.async_wait([weak = weak_from_this()](const std::error_code& error) {
      auto self = weak.lock();
      if (error || !self) return;
      self->scan();
      self->scheduleScan();
    });
  }

  void scan() {
    const pid_t self = ::getpid();
    (void)forEachProcess([&](pid_t pid, int) {
      if (pid != self && !tracked.contains(pid)) consider(pid);
    });
  }

  // The pidfd comes first and the executable is read after it, so a pid
  // reused in between is told apart by the pidfd's liveness.
  void consider(pid_t pid) {
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) return;
    auto pidfd = std::make_shared<const UniqueFd>(fd);
    auto executable = executableOf(pid);
    if (!executable) return;
    Bundle bundle = Bundle::atExecutablePath(*executable);
    if (!bundle.isAppBundle() || bundle.infoDictionary().empty()) return;
    RunningApplication application(pid, bundle.bundleIdentifier(), bundle.bundlePath(), pidfd);
    if (application.isTerminated()) return;
    auto watch = std::make_unique<asio::posix::stream_descriptor>(MainQueue::shared().context());
    std::error_code error;
    const int watched = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (watched < 0) return;
    watch->assign(watched, error);
    if (error) return;
    watch->async_wait(asio::posix::stream_descriptor::wait_read,
                      [weak = weak_from_this(), pid](const std::error_code& error) {
                        auto self = weak.lock();
                        if (!error && self) self->terminated(pid);
                      });
    tracked.emplace(pid, Tracked{std::move(application), std::move(watch)});
  }

  void terminated(pid_t pid) {
    auto it = tracked.find(pid);
    if (it == tracked.end()) return;
    TerminationNotification notification{it->second.application};
    tracked.erase(it);
    // Observers run one after another, each on a copy of the list, as a
    // notification centre delivers.
    auto observersNow = observers;
    for (auto& observer : observersNow) observer(notification);
  }

  bool started = false;
  asio::steady_timer timer{MainQueue::shared().context()};
  std::map<pid_t, Tracked> tracked;
  std::vector<Observer> observers;
};

Workspace::Workspace() : impl_(std::make_shared<Impl>()) {}

Workspace& Workspace::shared() {
  static base::NoDestructor<Workspace> workspace;
  return workspace.get();
}

void Workspace::addTerminationObserver(Observer observer) {
  impl_->observers.push_back(std::move(observer));
  impl_->start();
}

std::vector<RunningApplication> Workspace::runningApplicationsWithBundleIdentifier(
    std::string_view bundleIdentifier) {
  impl_->scan();
  std::vector<RunningApplication> found;
  for (const auto& [pid, entry] : impl_->tracked) {
    if (entry.application.bundleIdentifier() == bundleIdentifier) {
      found.push_back(entry.application);
    }
  }
  return found;
}

}  // namespace zefra::platform
