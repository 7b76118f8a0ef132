#include "platform/process_exit.h"

#include <unistd.h>

#include <cstdio>

namespace zefra::platform {

void exitProcess(int status) {
  std::fflush(nullptr);
  ::_exit(status);
}

}  // namespace zefra::platform
