#include "platform/socket/socket_activation.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "base/no_destructor.h"

namespace zefra::platform {

namespace {

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
  static base::NoDestructor<std::mutex> mu;
  static base::NoDestructor<std::set<int>> taken;
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

}  // namespace zefra::platform
