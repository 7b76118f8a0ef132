#include "platform/dispatch/signal_watch.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdint>
#include <thread>

#include "base/unique_fd.h"
#include "platform/dispatch/thread_name.h"

namespace zefra::platform {

struct SignalWatch::Impl {
  sigset_t watched;
  sigset_t previousMask;
  UniqueFd signals;
  UniqueFd stop;
  std::thread thread;
};

SignalWatch::SignalWatch(std::initializer_list<int> signals,
                         std::function<void(int signal)> handler)
    : impl_(std::make_unique<Impl>()) {
  sigemptyset(&impl_->watched);
  for (int signal : signals) {
    // Whoever started us asked not to be interrupted by an ignored signal;
    // blocking it would queue it for the watch instead of dropping it.
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    sigaddset(&impl_->watched, signal);
  }
  pthread_sigmask(SIG_BLOCK, &impl_->watched, &impl_->previousMask);
  impl_->signals.reset(signalfd(-1, &impl_->watched, SFD_CLOEXEC));
  impl_->stop.reset(eventfd(0, EFD_CLOEXEC));
  impl_->thread = std::thread([impl = impl_.get(), handler = std::move(handler)] {
    nameThisThread("zefra-signals");
    pollfd fds[2] = {{impl->signals.get(), POLLIN, 0}, {impl->stop.get(), POLLIN, 0}};
    for (;;) {
      if (poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents) return;
      signalfd_siginfo info;
      if (read(impl->signals.get(), &info, sizeof info) == sizeof info) {
        handler(static_cast<int>(info.ssi_signo));
      }
    }
  });
}

SignalWatch::~SignalWatch() {
  std::uint64_t one = 1;
  (void)!write(impl_->stop.get(), &one, sizeof one);
  impl_->thread.join();
  pthread_sigmask(SIG_SETMASK, &impl_->previousMask, nullptr);
}

}  // namespace zefra::platform
