#include "platform/process/process_exit.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace zefra::platform {

void exitProcess(int status) {
  std::fflush(nullptr);
  std::quick_exit(status);
}

void exitBySignal(int signal) {
  ::signal(signal, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(signal);
  ::_exit(128 + signal);
}

}  // namespace zefra::platform
