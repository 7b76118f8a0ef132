#include "platform/files/quarantine.h"

#include <ftw.h>
#include <sys/xattr.h>

#include <cerrno>

namespace zefra::platform {
namespace {

constexpr const char* kAttributes[] = {"user.xdg.origin.url", "user.xdg.referrer.url"};

// nftw passes no context; the walk is short and this is per thread.
thread_local Status* walkStatus = nullptr;

int clearOne(const char* path, const struct stat*, int type, struct FTW*) {
  if (type == FTW_SL || type == FTW_SLN) return 0;  // user attributes never sit on links
  for (const char* name : kAttributes) {
    if (::lremovexattr(path, name) == 0 || errno == ENODATA || errno == ENOTSUP) continue;
    if (walkStatus->ok())
      *walkStatus = errnoError(std::string("Cannot clear ") + name + " of " + path, errno);
  }
  return 0;
}

}  // namespace

Status clearQuarantine(const std::string& path) {
  Status status = Ok{};
  walkStatus = &status;
  int walked = ::nftw(path.c_str(), clearOne, 16, FTW_PHYS);
  int err = errno;
  walkStatus = nullptr;
  if (walked != 0) return errnoError("Cannot walk " + path, err);
  return status;
}

}  // namespace zefra::platform
