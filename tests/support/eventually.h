#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace zefra::testing {

// Polls for a condition that a thread or process brings about in its own
// time; the patience is generous, so only a condition that never holds fails.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::seconds patience = std::chrono::seconds(60)) {
  for (auto deadline = std::chrono::steady_clock::now() + patience;
       std::chrono::steady_clock::now() < deadline;
       std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
    if (condition()) return true;
  }
  return condition();
}

}  // namespace zefra::testing
