#pragma once

#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

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
      ++self->chunks_;
      self->changed_.notify_all();
    });
  }
  // Waits until `condition` holds of (standard output, standard error).
  bool waitFor(const std::function<bool(const std::string&, const std::string&)>& condition) {
    std::unique_lock lock(mu_);
    return changed_.wait_for(lock, std::chrono::seconds(60), [&] { return condition(out_, err_); });
  }
  void hold(bool held) {
    std::lock_guard lock(mu_);
    held_ = held;
    changed_.notify_all();
  }
  std::string out() {
    std::lock_guard lock(mu_);
    return out_;
  }
  std::string err() {
    std::lock_guard lock(mu_);
    return err_;
  }
  std::size_t chunks() {
    std::lock_guard lock(mu_);
    return chunks_;
  }

 private:
  std::mutex mu_;
  std::condition_variable changed_;
  bool held_ = false;
  std::string out_, err_;
  std::size_t chunks_ = 0;
};

// Polls for a condition a process brings about in its own time.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::seconds patience = std::chrono::seconds(60)) {
  for (auto deadline = std::chrono::steady_clock::now() + patience;
       std::chrono::steady_clock::now() < deadline;
       std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
    if (condition()) return true;
  }
  return condition();
}

// The pid a tool wrote into `path`, once it has; 0 when it never does.
inline pid_t pidIn(const std::string& path) {
  pid_t pid = 0;
  eventually([&] { return static_cast<bool>(std::ifstream(path) >> pid); });
  return pid;
}

// Gone, or a zombie that nobody here reaps.
inline bool processEnded(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  const auto state = line.find(") ");
  return state != std::string::npos && line[state + 2] == 'Z';
}

// Blocked writing to a full pipe.
inline bool blockedOnPipe(pid_t pid) {
  std::ifstream wchan("/proc/" + std::to_string(pid) + "/wchan");
  std::string where;
  return std::getline(wchan, where) && where.find("pipe_write") != std::string::npos;
}

}  // namespace zefra::testing
