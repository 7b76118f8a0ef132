#include "ipc/io_thread.h"

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <exception>
#include <future>
#include <thread>

#include "base/no_destructor.h"
#include "platform/dispatch/thread_name.h"

namespace zefra::ipc {

namespace {

struct IpcIo {
  IpcIo() {
    std::thread([this] {
      platform::nameThisThread("zefra-ipc");
      for (;;) {
        try {
          context.run();
          return;
        } catch (const std::exception&) {
          // A handler failed (out of memory); keep serving the other sockets.
        }
      }
    }).detach();
  }
  asio::io_context context{1};
  asio::executor_work_guard<asio::io_context::executor_type> guard{context.get_executor()};
};

IpcIo& io() {
  static base::NoDestructor<IpcIo> instance;
  return instance.get();
}

}  // namespace

asio::io_context& ipcContext() {
  return io().context;
}

bool onIpcThread() {
  return ipcContext().get_executor().running_in_this_thread();
}

void runOnIpcThread(const std::function<void()>& work) {
  if (onIpcThread()) {
    work();
    return;
  }
  std::promise<void> done;
  asio::post(ipcContext(), [&] {
    work();
    done.set_value();
  });
  done.get_future().wait();
}

}  // namespace zefra::ipc
