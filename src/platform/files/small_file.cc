#include "platform/files/small_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "base/unique_fd.h"

namespace zefra::platform {

Result<std::string> readSmallFile(const std::string& path, std::size_t limit,
                                  FinalSymlink symlink) {
  int flags = O_RDONLY | O_CLOEXEC | (symlink == FinalSymlink::kRefuse ? O_NOFOLLOW : 0);
  UniqueFd fd(::open(path.c_str(), flags));
  if (!fd) return errnoError("cannot open " + path, errno);
  std::string text;
  char buffer[16384];
  for (;;) {
    ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return errnoError("cannot read " + path, errno);
    }
    if (got == 0) return text;
    text.append(buffer, static_cast<std::size_t>(got));
    if (text.size() > limit) return Error{EFBIG, path + " is too large"};
  }
}

}  // namespace zefra::platform
