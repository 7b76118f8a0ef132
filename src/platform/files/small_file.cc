#include "platform/files/small_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "base/eintr.h"
#include "base/unique_fd.h"
#include "platform/files/pipe_io.h"

namespace zefra::platform {

Result<std::string> readSmallFile(const std::string& path, std::size_t limit,
                                  Symlinks finalSymlink) {
  // A FIFO put where a file was expected must not hold the opening thread.
  auto fd = openRegularFile(path, O_RDONLY, 0, finalSymlink);
  if (!fd) return fd.error();
  auto text = readToEnd(fd->get(), limit);
  if (!text && text.error().code == EFBIG) return Error{EFBIG, path + " is too large"};
  if (!text) return Error{text.error().code, "cannot read " + path + ": " + text.error().message};
  return text;
}

Status readAt(int fd, std::span<char> out, std::uint64_t offset) {
  for (std::size_t done = 0; done < out.size();) {
    const ssize_t got = base::retryOnEintr([&] {
      return ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    });
    if (got < 0) return errnoError("cannot read the file", errno);
    if (got == 0) return Error{0, "the file shrank while it was read"};
    done += static_cast<std::size_t>(got);
  }
  return Ok{};
}

Status readInChunks(int fd, std::uint64_t length,
                    const std::function<Status(std::string_view chunk)>& consume) {
  constexpr std::size_t kChunk = 256 * 1024;
  auto buffer = std::make_unique_for_overwrite<char[]>(kChunk);
  for (std::uint64_t offset = 0; offset < length;) {
    const std::span<char> chunk(buffer.get(), std::min<std::uint64_t>(kChunk, length - offset));
    if (auto read = readAt(fd, chunk, offset); !read) return read;
    if (auto consumed = consume({chunk.data(), chunk.size()}); !consumed) return consumed;
    offset += chunk.size();
  }
  return Ok{};
}

}  // namespace zefra::platform
