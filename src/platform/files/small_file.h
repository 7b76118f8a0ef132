#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "base/result.h"
#include "platform/files/files.h"

// Reading files: whole by path, or a given extent of an open one. A stream
// read to its end is readToEnd (pipe_io.h).
namespace zefra::platform {

// The whole of a small regular file (keys, certificates, Info.json, /proc
// entries), opened as openRegularFile does; a file larger than `limit` is an
// error rather than a memory hog.
Result<std::string> readSmallFile(const std::string& path, std::size_t limit = 1024 * 1024,
                                  Symlinks finalSymlink = Symlinks::kFollow);

// Exactly `out.size()` bytes of `fd` from `offset`, with pread: the file
// position stays, and a file that ends sooner is an error.
Status readAt(int fd, std::span<char> out, std::uint64_t offset);

// The first `length` bytes of `fd`, handed to `consume` a chunk at a time,
// as readAt reads them: a file that shrinks meanwhile is an error rather than
// a SIGBUS. An error from `consume` ends the reading.
Status readInChunks(int fd, std::uint64_t length,
                    const std::function<Status(std::string_view chunk)>& consume);

}  // namespace zefra::platform
