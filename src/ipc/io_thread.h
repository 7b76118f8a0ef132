#pragma once

// Asio picks its handler allocator from the standard library's configuration
// macros, so a library header comes first and every file picks alike.
#include <cstddef>
// Asio only after it.
#include <asio/io_context.hpp>
#include <functional>

namespace zefra::ipc {

// The one thread that does the I/O of every IPC socket of the process. It
// starts on first use and runs until the process ends.
asio::io_context& ipcContext();
bool onIpcThread();
// Runs `work` on the IPC thread and returns once it has run.
void runOnIpcThread(const std::function<void()>& work);

}  // namespace zefra::ipc
