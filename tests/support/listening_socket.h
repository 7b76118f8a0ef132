#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>

#include "base/unique_fd.h"
#include "platform/socket/unix_address.h"

namespace zefra::testing {

// A socket listening at `path` that never accepts: a holder of a service
// name that does not answer.
inline base::UniqueFd listenWithoutAccepting(const std::string& path) {
  base::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_un address = platform::unixAddress(path);
  EXPECT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(::listen(fd.get(), 4), 0);
  return fd;
}

// A client socket connected to `path`; empty when the connect fails.
inline base::UniqueFd connectTo(const std::string& path) {
  base::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_un address = platform::unixAddress(path);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    fd.reset();
  }
  return fd;
}

}  // namespace zefra::testing
