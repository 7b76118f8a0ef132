#include "platform/process/process_signals.h"

#include <signal.h>

#include <asio/signal_set.hpp>
#include <memory>

#include "platform/dispatch/main_queue.h"

namespace zefra::platform {

void ignoreSigpipe() {
  ::signal(SIGPIPE, SIG_IGN);
}

void onTerminationSignal(std::function<void(int signal)> handler) {
  auto signals =
      std::make_shared<asio::signal_set>(MainQueue::shared().context(), SIGTERM, SIGINT, SIGHUP);
  signals->async_wait(
      [signals, handler = std::move(handler)](const std::error_code& error, int signal) {
        if (!error) handler(signal);
      });
}

}  // namespace zefra::platform
