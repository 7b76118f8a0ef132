#pragma once

#include <functional>

namespace zefra::platform {

// A write to a pipe whose reader has gone then fails with EPIPE instead of
// ending the process. Children get the default back when they start.
void ignoreSigpipe();

// Runs `handler` on the main queue at SIGTERM, SIGINT or SIGHUP.
void onTerminationSignal(std::function<void(int signal)> handler);

}  // namespace zefra::platform
