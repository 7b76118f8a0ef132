#pragma once

#include <sys/un.h>

#include <string_view>

namespace zefra::platform {

// The address of a socket file; the path must fit sun_path with its NUL
// (servicePath sees to that).
sockaddr_un unixAddress(std::string_view path);

}  // namespace zefra::platform
