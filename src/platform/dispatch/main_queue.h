#pragma once

#include <memory>

#include "base/no_destructor.h"
#include "platform/dispatch/queue.h"

namespace asio {
class io_context;
}

namespace zefra::platform {

// The main queue: an event loop run on the main thread by run().
class MainQueue {
 public:
  static MainQueue& shared();
  void async(Work work);
  void asyncAfter(double seconds, Work work);
  // Runs until stop(); returns at once when stopped before.
  void run();
  void stop();
  asio::io_context& context();

 private:
  template <class T>
  friend class base::NoDestructor;
  MainQueue();
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace zefra::platform
