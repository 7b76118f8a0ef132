#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "base/result.h"
#include "base/unique_fd.h"

// What a running process has loaded, read through /proc.
namespace zefra::platform {

// The environment the process was started with (entries "NAME=value"), not
// what it has set since.
Result<std::vector<std::string>> initialEnvironment(pid_t pid);

// A file mapped executable into the process.
struct ExecutableMapping {
  dev_t device = 0;
  ino_t inode = 0;
  std::string path;  // as the kernel shows it; " (deleted)" for a removed file
};
// Every file-backed executable mapping; anonymous ones (JIT code) and the
// kernel's own ([vdso]) are left out.
Result<std::vector<ExecutableMapping>> executableMappings(pid_t pid);
// The same read from the formatted text, as kernels before 6.11 give it.
Result<std::vector<ExecutableMapping>> executableMappingsFromText(pid_t pid);

// Notices that a process has replaced its program (exec) or ended: it holds
// the address space of the moment it was opened, which reads as empty once
// that is gone. Open it before checking a process and confirm intact() after,
// and everything checked in between belongs to one program.
class ExecWatch {
 public:
  static Result<ExecWatch> open(pid_t pid);
  bool intact() const;

 private:
  explicit ExecWatch(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
};

}  // namespace zefra::platform
