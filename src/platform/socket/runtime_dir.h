#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"

namespace zefra::platform {

// The directory that holds the service sockets, first match wins:
//  1. `override`, else the environment variable ZEFRA_RUNTIME_DIR (tests and
//     demos); created 0700 when missing, refused when not private;
//  2. $XDG_RUNTIME_DIR when it is absolute and private to the user;
//  3. /tmp/zefra-helper-<uid>, created 0700 when missing, refused when not
//     private.
// Private means: a real directory (not a symlink) owned by the effective user
// with mode 0700 and no group or other permissions.
Result<std::string> runtimeDirectory(const std::optional<std::string>& override = std::nullopt);

// Ok when `path` is a private directory as above.
Status checkPrivateDirectory(const std::string& path);

// <runtime dir>/<serviceName>. A service name is one path component that fits
// a Unix socket address with its directory.
Result<std::string> servicePath(
    std::string_view serviceName,
    const std::optional<std::string>& runtimeDirOverride = std::nullopt);

}  // namespace zefra::platform
