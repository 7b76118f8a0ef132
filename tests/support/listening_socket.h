#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <string>

#include "base/unique_fd.h"
#include "platform/socket/stream_connect.h"
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
  auto connected = platform::connectStream(path);
  return connected ? std::move(connected).value() : base::UniqueFd();
}

// A TCP socket listening on a free loopback port, and that port: what a
// tool kept from the network must fail to reach.
struct LoopbackListener {
  base::UniqueFd fd;
  std::string port;
};
inline LoopbackListener listenOnLoopback() {
  LoopbackListener listener{base::UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), ""};
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  EXPECT_EQ(::bind(listener.fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(::listen(listener.fd.get(), 8), 0);
  EXPECT_EQ(::getsockname(listener.fd.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
  listener.port = std::to_string(ntohs(address.sin_port));
  return listener;
}

}  // namespace zefra::testing
