#pragma once

#include <sys/socket.h>

#include <cstring>
#include <string>

namespace zefra::testing {

// Sends `bytes` on the socket `fd`, with a control message of `type`
// carrying `size` bytes of `data` when `size` is not 0 (credentials, or one
// descriptor). True when every byte went.
inline bool sendWith(int fd, const std::string& bytes, int type, const void* data,
                     std::size_t size) {
  iovec iov{const_cast<char*>(bytes.data()), bytes.size()};
  msghdr message{};
  message.msg_iov = &iov;
  message.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))] = {};
  if (size) {
    message.msg_control = control;
    message.msg_controllen = CMSG_SPACE(size);
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = type;
    c->cmsg_len = CMSG_LEN(size);
    std::memcpy(CMSG_DATA(c), data, size);
  }
  return ::sendmsg(fd, &message, MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

}  // namespace zefra::testing
