#include "platform/socket/unix_address.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace zefra::platform {

sockaddr_un unixAddress(std::string_view path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), std::min(path.size(), sizeof address.sun_path - 1));
  return address;
}

}  // namespace zefra::platform
