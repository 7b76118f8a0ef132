#include "platform/ipc_listener.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <asio/local/stream_protocol.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "platform/ipc_io.h"
#include "platform/no_destructor.h"
#include "platform/runtime_dir.h"

namespace zefra::platform {

namespace {

// ------------------------------------------------- socket files we must remove

struct SocketFile {
  std::string path;
  dev_t device = 0;
  ino_t inode = 0;
};

void removeIfOurs(const SocketFile& file) {
  struct stat st;
  if (::lstat(file.path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_dev == file.device &&
      st.st_ino == file.inode) {
    ::unlink(file.path.c_str());
  }
}

// Socket files are removed on a normal exit even when their listeners are
// never destroyed (the delegate that holds them lives for the process).
class SocketFiles {
 public:
  static SocketFiles& shared() {
    static NoDestructor<SocketFiles> files;
    return files.get();
  }
  void add(const void* owner, SocketFile file) {
    std::lock_guard lock(mu_);
    if (!hooked_) {
      hooked_ = true;
      pid_ = ::getpid();
      std::atexit([] { shared().removeAll(); });
    }
    files_[owner] = std::move(file);
  }
  void remove(const void* owner) {
    std::lock_guard lock(mu_);
    if (auto found = files_.find(owner); found != files_.end()) {
      removeIfOurs(found->second);
      files_.erase(found);
    }
  }

 private:
  void removeAll() {
    std::lock_guard lock(mu_);
    // A forked child exiting must not take its parent's sockets away.
    if (::getpid() != pid_) return;
    for (const auto& [owner, file] : files_) removeIfOurs(file);
    files_.clear();
  }
  std::mutex mu_;
  std::map<const void*, SocketFile> files_;
  bool hooked_ = false;
  pid_t pid_ = 0;
};

// ------------------------------------------------------------ binding a path

sockaddr_un addressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  return address;
}

Error liveOwner(const std::string& path) {
  return Error{EADDRINUSE, "another instance already serves " + path};
}

// Whether something answers on the socket file at `path`.
Result<bool> answers(const std::string& path) {
  UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!probe) return errnoError("cannot create a socket", errno);
  sockaddr_un address = addressOf(path);
  if (::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    return true;
  }
  switch (errno) {
    case EAGAIN:  // alive, with a full backlog
      return true;
    case ECONNREFUSED:  // left behind by a process that has gone
    case ENOENT:
      return false;
    default:
      return errnoError("cannot probe " + path, errno);
  }
}

Result<UniqueFd> bindPath(const std::string& path, SocketFile& file) {
  // Two instances starting at once take turns, so neither removes the
  // other's fresh socket as stale.
  UniqueFd lock(::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!lock) return errnoError("cannot open " + path + ".lock", errno);
  while (::flock(lock.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return errnoError("cannot lock " + path + ".lock", errno);
  }

  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      return Error{EEXIST, path + " exists and is not a socket; leaving it alone"};
    }
    Result<bool> live = answers(path);
    if (!live) return live.error();
    if (*live) return liveOwner(path);
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      return errnoError("cannot remove the stale socket " + path, errno);
    }
  } else if (errno != ENOENT) {
    return errnoError("cannot look at " + path, errno);
  }

  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) return errnoError("cannot create a socket", errno);
  sockaddr_un address = addressOf(path);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno == EADDRINUSE) return liveOwner(path);
    return errnoError("cannot bind " + path, errno);
  }
  if (::lstat(path.c_str(), &st) != 0) return errnoError("cannot look at " + path, errno);
  file = SocketFile{path, st.st_dev, st.st_ino};
  if (::listen(fd.get(), SOMAXCONN) != 0) {
    const int err = errno;
    removeIfOurs(file);
    return errnoError("cannot listen on " + path, err);
  }
  return fd;
}

bool parseNumber(const char* text, long& value) {
  if (!text || !*text) return false;
  const char* end = text + std::strlen(text);
  auto [next, error] = std::from_chars(text, end, value);
  return error == std::errc() && next == end;
}

int socketOption(int fd, int option) {
  int value = -1;
  socklen_t length = sizeof value;
  if (::getsockopt(fd, SOL_SOCKET, option, &value, &length) != 0) return -1;
  return value;
}

}  // namespace

Result<std::optional<UniqueFd>> takeActivatedSocket(std::string_view name) {
  constexpr int kFirstPassedFd = 3;
  static NoDestructor<std::mutex> mu;
  static NoDestructor<std::set<int>> taken;
  std::lock_guard lock(mu.get());

  long pid = 0;
  long count = 0;
  if (!parseNumber(std::getenv("LISTEN_PID"), pid) || pid != ::getpid()) {
    return std::optional<UniqueFd>();
  }
  if (!parseNumber(std::getenv("LISTEN_FDS"), count) || count <= 0 || count > 4096) {
    return std::optional<UniqueFd>();
  }
  std::vector<std::string_view> names;
  if (const char* joined = std::getenv("LISTEN_FDNAMES")) {
    std::string_view rest(joined);
    for (;;) {
      const std::size_t colon = rest.find(':');
      names.push_back(rest.substr(0, colon));
      if (colon == std::string_view::npos) break;
      rest.remove_prefix(colon + 1);
    }
  }
  std::optional<int> match;
  for (int i = 0; i < count; ++i) {
    const int fd = kFirstPassedFd + i;
    // None of them may leak into the tools the helper runs.
    if (const int flags = ::fcntl(fd, F_GETFD); flags >= 0) {
      ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    }
    if (!match && static_cast<std::size_t>(i) < names.size() && names[i] == name &&
        !taken.get().contains(fd)) {
      match = fd;
    }
  }
  if (!match) return std::optional<UniqueFd>();
  if (socketOption(*match, SO_DOMAIN) != AF_UNIX || socketOption(*match, SO_TYPE) != SOCK_STREAM ||
      socketOption(*match, SO_ACCEPTCONN) != 1) {
    return Error{ENOTSOCK, "the socket passed for " + std::string(name) +
                               " is not a listening Unix stream socket"};
  }
  const int flags = ::fcntl(*match, F_GETFL);
  if (flags < 0 || ::fcntl(*match, F_SETFL, flags | O_NONBLOCK) != 0) {
    return errnoError("cannot set up the socket passed for " + std::string(name), errno);
  }
  taken.get().insert(*match);
  return std::optional<UniqueFd>(UniqueFd(*match));
}

// ------------------------------------------------------------------ listener

struct Listener::Impl : std::enable_shared_from_this<Listener::Impl> {
  Impl(AcceptHandler handler, std::string path, bool adopted)
      : handler(std::move(handler)), path(std::move(path)), adopted(adopted) {}

  void waitForPeers() {
    acceptor.async_wait(asio::socket_base::wait_read,
                        [self = shared_from_this()](const std::error_code& error) {
                          if (!error) self->acceptPending();
                        });
  }

  void acceptPending() {
    for (;;) {
      const int fd =
          ::accept4(acceptor.native_handle(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd >= 0) {
        hand(UniqueFd(fd));
        continue;
      }
      switch (errno) {
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
          continue;
        case EAGAIN:
          return waitForPeers();
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
          // Out of descriptors: pause instead of spinning on a readable socket.
          backoff.expires_after(std::chrono::milliseconds(100));
          backoff.async_wait([self = shared_from_this()](const std::error_code& error) {
            if (!error) self->waitForPeers();
          });
          return;
        default:
          return;  // closed
      }
    }
  }

  void hand(UniqueFd fd) {
    Result<ServerConnection> connection = ServerConnection::adopt(std::move(fd));
    if (!connection) return;
    globalQueue()
        .async([self = shared_from_this(), connection = std::move(connection).value()]() mutable {
          if (self->handler(connection)) {
            connection.resume();
          } else {
            connection.invalidate();
          }
        });
  }

  asio::local::stream_protocol::acceptor acceptor{ipcContext()};
  asio::steady_timer backoff{ipcContext()};
  const AcceptHandler handler;
  const std::string path;
  const bool adopted;
  int fd = -1;
  std::atomic<bool> closed{false};
};

Listener::Listener(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

Result<std::unique_ptr<Listener>> Listener::open(std::string_view serviceName,
                                                 AcceptHandler handler,
                                                 const ListenerOptions& options) {
  Result<std::optional<UniqueFd>> activated = takeActivatedSocket(serviceName);
  if (!activated) return activated.error();
  UniqueFd fd;
  std::string path;
  SocketFile file;
  const bool adopted = activated->has_value();
  if (adopted) {
    fd = std::move(**activated);
    sockaddr_un address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
        length > offsetof(sockaddr_un, sun_path)) {
      path.assign(address.sun_path, strnlen(address.sun_path, sizeof address.sun_path));
    }
  } else {
    Result<std::string> servicePathResult = servicePath(serviceName, options.runtimeDirectory);
    if (!servicePathResult) return servicePathResult.error();
    path = std::move(servicePathResult).value();
    Result<UniqueFd> bound = bindPath(path, file);
    if (!bound) return bound.error();
    fd = std::move(bound).value();
  }

  auto impl = std::make_shared<Impl>(std::move(handler), path, adopted);
  std::error_code error;
  impl->acceptor.assign(asio::local::stream_protocol(), fd.get(), error);
  if (error) {
    if (!adopted) removeIfOurs(file);
    return Error{error.value(), "cannot listen on " + path + ": " + error.message()};
  }
  impl->fd = fd.release();
  if (!adopted) SocketFiles::shared().add(impl.get(), std::move(file));
  asio::post(ipcContext(), [impl] { impl->waitForPeers(); });
  return std::make_unique<Listener>(std::move(impl));
}

Listener::~Listener() {
  close();
}

void Listener::close() {
  if (impl_->closed.exchange(true)) return;
  runOnIpcThread([impl = impl_] {
    std::error_code ignored;
    impl->backoff.cancel();
    impl->acceptor.close(ignored);
  });
  SocketFiles::shared().remove(impl_.get());
}

const std::string& Listener::path() const {
  return impl_->path;
}
bool Listener::adopted() const {
  return impl_->adopted;
}
int Listener::nativeHandle() const {
  return impl_->fd;
}

}  // namespace zefra::platform
