#pragma once

#include <sys/types.h>

#include <string>

namespace zefra::platform {

// $HOME when it is set and absolute, else the password database's entry,
// else "/".
std::string homeDirectory();

// The user's login shell from the password database; "/bin/sh" when there
// is none or it is not an absolute path.
std::string loginShell();

uid_t currentUid();

}  // namespace zefra::platform
