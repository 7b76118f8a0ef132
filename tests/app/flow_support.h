#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "app/helper_delegate.h"
#include "platform/dispatch/main_queue.h"

namespace zefra::app::testing {

// What the scripted services saw, in order: "status", "register",
// "unregister", "open-login-items", "probe", "open:<path>", "quarantine:<path>",
// "terminate", "exit:<status>", "alert:<message>".
class EventLog {
 public:
  void add(std::string event) {
    std::lock_guard lock(mu_);
    events_.push_back(std::move(event));
    cv_.notify_all();
  }
  void clear() {
    std::lock_guard lock(mu_);
    events_.clear();
  }
  std::vector<std::string> events() const {
    std::lock_guard lock(mu_);
    return events_;
  }
  std::size_t count(const std::string& event) const {
    std::lock_guard lock(mu_);
    return countLocked(event);
  }
  // Waits (generously) until `event` has been seen `times` times.
  bool waitFor(const std::string& event, std::size_t times = 1) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(30),
                        [&] { return countLocked(event) >= times; });
  }

 private:
  std::size_t countLocked(const std::string& event) const {
    return static_cast<std::size_t>(std::count(events_.begin(), events_.end(), event));
  }
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> events_;
};

// An agent whose answers the test sets; it shares its state across the
// fresh objects each operation obtains.
struct ScriptedAgentState {
  std::mutex mu;
  platform::AgentStatus status = platform::AgentStatus::kNotRegistered;
  // Status after a successful registration.
  platform::AgentStatus statusAfterRegister = platform::AgentStatus::kEnabled;
  int registerFailures = 0;  // the first N registrations fail
  bool unregisterFails = false;
  std::function<void()> onStatus;
};

class ScriptedAgent final : public platform::AgentService {
 public:
  ScriptedAgent(std::shared_ptr<ScriptedAgentState> state, EventLog& log)
      : state_(std::move(state)), log_(log) {}
  platform::AgentStatus status() override {
    log_.add("status");
    std::function<void()> hook;
    platform::AgentStatus status;
    {
      std::lock_guard lock(state_->mu);
      hook = state_->onStatus;
      status = state_->status;
    }
    if (hook) hook();
    return status;
  }
  base::Status registerAndReturnError() override {
    log_.add("register");
    std::lock_guard lock(state_->mu);
    if (state_->registerFailures > 0) {
      --state_->registerFailures;
      return base::Error{1, "The operation couldn't be completed."};
    }
    state_->status = state_->statusAfterRegister;
    return base::Ok{};
  }
  base::Status unregisterAndReturnError() override {
    log_.add("unregister");
    std::lock_guard lock(state_->mu);
    if (state_->unregisterFails) return base::Error{1, "Operation not permitted"};
    state_->status = platform::AgentStatus::kNotRegistered;
    return base::Ok{};
  }
  void openSystemSettingsLoginItems() override { log_.add("open-login-items"); }

 private:
  std::shared_ptr<ScriptedAgentState> state_;
  EventLog& log_;
};

// Records each alert and answers from a script (kAlertNoAnswer when it runs
// out).
class RecordingResponder final : public platform::AlertResponder {
 public:
  explicit RecordingResponder(EventLog& log) : log_(log) {}
  int runModal(const platform::Alert& alert) override {
    std::lock_guard lock(mu_);
    alerts_.push_back(alert);
    log_.add("alert:" + alert.messageText);
    if (answers_.empty()) return platform::kAlertNoAnswer;
    const int answer = answers_.front();
    answers_.pop_front();
    return answer;
  }
  void answer(std::vector<int> answers) {
    std::lock_guard lock(mu_);
    answers_.assign(answers.begin(), answers.end());
  }
  std::vector<platform::Alert> alerts() const {
    std::lock_guard lock(mu_);
    return alerts_;
  }

 private:
  EventLog& log_;
  mutable std::mutex mu_;
  std::vector<platform::Alert> alerts_;
  std::deque<int> answers_;
};

// Runs the main queue for the whole test program, as the entry point does.
inline void ensureMainQueueRuns() {
  static std::thread mainThread([] { platform::MainQueue::shared().run(); });
  static bool detached = (mainThread.detach(), true);
  (void)detached;
}

// Runs `work` on the main queue and returns its result.
template <class T = void>
T onMainQueue(std::type_identity_t<std::function<T()>> work) {
  ensureMainQueueRuns();
  std::promise<T> result;
  platform::MainQueue::shared().async([&] {
    if constexpr (std::is_void_v<T>) {
      work();
      result.set_value();
    } else {
      result.set_value(work());
    }
  });
  return result.get_future().get();
}

// Every scripted service, writing to `log`; the defaults file is `defaults`.
inline AppServices scriptedServices(EventLog& log, std::shared_ptr<ScriptedAgentState> agent,
                                    std::shared_ptr<RecordingResponder> alerts,
                                    platform::UserDefaults& defaults) {
  AppServices services;
  services.agentService = [agent, &log] { return std::make_shared<ScriptedAgent>(agent, log); };
  services.alerts = std::move(alerts);
  services.defaults = &defaults;
  services.bundlePath = [] { return std::string("/Users/u/Applications/Zefra Helper.app"); };
  services.infoDictionary = {{"CFBundleVersion", "7"}, {"CFBundleShortVersionString", "1.7"}};
  services.homeDirectory = "/Users/u";
  services.fileExists = [](const std::string&) { return false; };
  services.clearQuarantine = [&log](const std::string& path) {
    log.add("quarantine:" + path);
    return 0;
  };
  services.openApplication = [&log](const std::string& path, std::function<void()> completion) {
    log.add("open:" + path);
    std::thread(completion).detach();
  };
  services.machServiceAnswers = [&log](std::function<void(bool)> completion) {
    log.add("probe");
    completion(true);
  };
  services.observeTerminations = [](platform::Workspace::Observer) {};
  services.runningApplications = [](std::string_view) {
    return std::vector<platform::RunningApplication>{};
  };
  services.terminate = [&log] { log.add("terminate"); };
  services.exit = [&log](int status) { log.add("exit:" + std::to_string(status)); };
  return services;
}

}  // namespace zefra::app::testing
