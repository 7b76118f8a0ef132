#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "xpc/run_options.h"

namespace zefra::testing {

// Collects a streaming run's chunks as they come; a run's output handler
// may be held, as a client that stops reading is.
class RunChunks : public std::enable_shared_from_this<RunChunks> {
 public:
  xpc::RunOutput output() {
    return xpc::RunOutput([self = shared_from_this()](int stream, base::Bytes chunk) {
      std::unique_lock lock(self->mu_);
      self->changed_.wait(lock, [&] { return !self->held_; });
      (stream == 1 ? self->out_ : self->err_).append(chunk.view());
      self->changed_.notify_all();
    });
  }
  void hold(bool held) {
    std::lock_guard lock(mu_);
    held_ = held;
    changed_.notify_all();
  }
  // What came so far on standard output (1) or standard error (2).
  std::string out(int stream = 1) {
    std::lock_guard lock(mu_);
    return stream == 1 ? out_ : err_;
  }

 private:
  std::mutex mu_;
  std::condition_variable changed_;
  bool held_ = false;
  std::string out_, err_;
};

}  // namespace zefra::testing
