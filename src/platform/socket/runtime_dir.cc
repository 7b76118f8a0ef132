#include "platform/socket/runtime_dir.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace zefra::platform {

namespace {

// A missing directory is made (its parent must exist); an existing one must
// already be private.
Result<std::string> privateDirectoryCreatingIt(const std::string& path) {
  if (path.empty() || path[0] != '/') {
    return Error{EINVAL, "runtime directory " + path + " is not an absolute path"};
  }
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    return errnoError("cannot create runtime directory " + path, errno);
  }
  if (Status status = checkPrivateDirectory(path); !status) return status.error();
  return path;
}

}  // namespace

Status checkPrivateDirectory(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return errnoError("runtime directory " + path, errno);
  if (S_ISLNK(st.st_mode)) return Error{ELOOP, "runtime directory " + path + " is a symlink"};
  if (!S_ISDIR(st.st_mode)) {
    return Error{ENOTDIR, "runtime directory " + path + " is not a directory"};
  }
  if (st.st_uid != ::geteuid()) {
    return Error{EPERM, "runtime directory " + path + " is not owned by the user"};
  }
  if ((st.st_mode & 0777) != 0700) {
    return Error{EPERM, "runtime directory " + path + " is not private (mode 0700)"};
  }
  return Ok{};
}

Result<std::string> runtimeDirectory(const std::optional<std::string>& override) {
  if (override) return privateDirectoryCreatingIt(*override);
  if (const char* forced = std::getenv("ZEFRA_RUNTIME_DIR"); forced && *forced) {
    return privateDirectoryCreatingIt(forced);
  }
  if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && xdg[0] == '/') {
    if (checkPrivateDirectory(xdg)) return std::string(xdg);
  }
  return privateDirectoryCreatingIt("/tmp/zefra-helper-" + std::to_string(::geteuid()));
}

Result<std::string> servicePath(std::string_view serviceName,
                                const std::optional<std::string>& runtimeDirOverride) {
  if (serviceName.empty() || serviceName == "." || serviceName == ".." ||
      serviceName.find('/') != std::string_view::npos ||
      serviceName.find('\0') != std::string_view::npos) {
    return Error{EINVAL, "invalid service name \"" + std::string(serviceName) + "\""};
  }
  Result<std::string> directory = runtimeDirectory(runtimeDirOverride);
  if (!directory) return directory.error();
  std::string path = *directory + "/" + std::string(serviceName);
  if (path.size() >= sizeof(sockaddr_un::sun_path)) {
    return Error{ENAMETOOLONG, "socket path " + path + " is too long"};
  }
  return path;
}

}  // namespace zefra::platform
