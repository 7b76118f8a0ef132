#pragma once

#include <sys/socket.h>

#include <cstring>
#include <string>

namespace zefra::testing {

// Sends `bytes` on the socket `fd` with the descriptor `passed` attached.
// True when every byte went.
inline bool sendWith(int fd, const std::string& bytes, int passed) {
  iovec iov{const_cast<char*>(bytes.data()), bytes.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof passed)] = {};
  msghdr message{};
  message.msg_iov = &iov;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&message);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof passed);
  std::memcpy(CMSG_DATA(c), &passed, sizeof passed);
  return ::sendmsg(fd, &message, MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

}  // namespace zefra::testing
