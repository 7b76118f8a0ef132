#pragma once

#include <functional>
#include <mutex>
#include <string_view>

#include "ipc/client_connection.h"

namespace zefra::app {

inline constexpr double kProbeTimeout = 1.5;
inline constexpr double kSelfHealInterval = 300;
inline constexpr std::string_view kLastSelfHealKey = "LastRegistrationSelfHeal";
inline constexpr std::string_view kSelfHealLogLine =
    "Zefra Helper: Mach service didn't route \u2014 re-registering the agent (programmatic Login "
    "Items off/on)";

// Lets exactly one of a probe's three outcomes (error, reply, time-out)
// report.
struct DispatchSemaphoreBox {
  std::mutex lock;
  bool claimed = false;
  // True for the first caller only.
  bool claim() {
    std::lock_guard guard(lock);
    if (claimed) return false;
    claimed = true;
    return true;
  }
};

// One ping of one service name through the client library; `completion` runs
// exactly once, on some pool thread: true for a reply, false for an error or
// for silence through kProbeTimeout seconds.
void probeMachService(std::string_view name, std::function<void(bool answered)> completion,
                      const ipc::ConnectOptions& options = {});

// Probes each service name in order and stops at the first that answers.
void machServiceAnswers(std::function<void(bool answered)> completion,
                        const ipc::ConnectOptions& options = {});

}  // namespace zefra::app
