#pragma once

#include <string>

#include "base/result.h"

namespace zefra::platform {

// Removes the download-origin attributes (user.xdg.origin.url,
// user.xdg.referrer.url) from `path` and everything below it, following no
// symlink. Fails only when an attribute that is there cannot be removed.
Status clearQuarantine(const std::string& path);

}  // namespace zefra::platform
