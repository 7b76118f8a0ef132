#pragma once

#include <sys/types.h>

#include <map>
#include <mutex>
#include <string>

#include "base/result.h"
#include "base/unique_fd.h"

namespace zefra::platform {

// A socket file this process bound, known by its inode so that a file
// someone else put at the same path is never removed.
struct SocketFile {
  std::string path;
  dev_t device = 0;
  ino_t inode = 0;
};

void removeIfOurs(const SocketFile& file);

// Socket files are removed on a normal exit even when their listeners are
// never destroyed (the delegate that holds them lives for the process).
class SocketFiles {
 public:
  static SocketFiles& shared();
  void add(const void* owner, SocketFile file);
  void remove(const void* owner);

 private:
  void removeAll();
  std::mutex mu_;
  std::map<const void*, SocketFile> files_;
  bool hooked_ = false;
  pid_t pid_ = 0;
};

// Binds and listens on `path`, replacing a socket file that nobody answers
// on. Fails when another live instance serves the path or when a file that
// is not a socket is in the way.
Result<UniqueFd> bindSocketFile(const std::string& path, SocketFile& file);

}  // namespace zefra::platform
