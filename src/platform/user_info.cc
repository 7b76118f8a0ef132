#include "platform/user_info.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <vector>

namespace zefra::platform {
namespace {

struct PasswdEntry {
  std::string home;
  std::string shell;
};

std::optional<PasswdEntry> passwdEntry() {
  long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(hint > 0 ? static_cast<std::size_t>(hint) : 4096);
  struct passwd pw;
  struct passwd* found = nullptr;
  for (;;) {
    int rc = ::getpwuid_r(::getuid(), &pw, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc != 0 || found == nullptr) return std::nullopt;
    return PasswdEntry{pw.pw_dir ? pw.pw_dir : "", pw.pw_shell ? pw.pw_shell : ""};
  }
}

}  // namespace

std::string homeDirectory() {
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') return home;
  if (auto entry = passwdEntry(); entry && entry->home.starts_with('/')) return entry->home;
  return "/";
}

std::string loginShell() {
  if (auto entry = passwdEntry(); entry && entry->shell.starts_with('/')) return entry->shell;
  return "/bin/sh";
}

uid_t currentUid() {
  return ::getuid();
}

}  // namespace zefra::platform
