#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "app/helper_delegate.h"
#include "platform/dispatch/main_queue.h"
#include "support/eventually.h"

namespace zefra::app::testing {

// What the scripted services saw, in order: "status", "register",
// "unregister", "open-login-items", "probe", "open:<path>", "quarantine:<path>",
// "terminate", "exit:<status>", "alert:<message>".
class EventLog {
 public:
  void add(std::string event) {
    std::lock_guard lock(mu_);
    events_.push_back(std::move(event));
  }
  void clear() {
    std::lock_guard lock(mu_);
    events_.clear();
  }
  std::vector<std::string> events() const {
    std::lock_guard lock(mu_);
    return events_;
  }
  std::size_t count(const std::string& event) const { return std::ranges::count(events(), event); }
  // Waits (generously) until `event` has been seen `times` times.
  bool waitFor(const std::string& event, std::size_t times = 1) const {
    return zefra::testing::eventually([&] { return count(event) >= times; });
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::string> events_;
};

// An agent whose answers the test sets; every operation gets this one.
class ScriptedAgent final : public platform::AgentService {
 public:
  explicit ScriptedAgent(EventLog& log) : log_(log) {}
  platform::AgentStatus status() override {
    log_.add("status");
    if (onStatus) onStatus();
    std::lock_guard lock(mu_);
    return current;
  }
  base::Status registerAndReturnError() override {
    log_.add("register");
    std::lock_guard lock(mu_);
    if (registerFailures > 0) {
      --registerFailures;
      return base::Error{1, "The operation couldn't be completed."};
    }
    current = statusAfterRegister;
    return base::Ok{};
  }
  base::Status unregisterAndReturnError() override {
    log_.add("unregister");
    std::lock_guard lock(mu_);
    if (unregisterFails) return base::Error{1, "Operation not permitted"};
    current = platform::AgentStatus::kNotRegistered;
    return base::Ok{};
  }
  void openSystemSettingsLoginItems() override { log_.add("open-login-items"); }

  // Set before the delegate starts.
  platform::AgentStatus current = platform::AgentStatus::kNotRegistered;
  platform::AgentStatus statusAfterRegister = platform::AgentStatus::kEnabled;
  int registerFailures = 0;  // the first N registrations fail
  bool unregisterFails = false;
  std::function<void()> onStatus;

 private:
  EventLog& log_;
  std::mutex mu_;
};

// Records each alert's title and answers from a script (kAlertNoAnswer when
// it runs out).
class RecordingResponder final : public platform::AlertResponder {
 public:
  explicit RecordingResponder(EventLog& log) : log_(log) {}
  int runModal(const platform::Alert& alert) override {
    log_.add("alert:" + alert.messageText);
    std::lock_guard lock(mu_);
    if (answers_.empty()) return platform::kAlertNoAnswer;
    const int answer = answers_.front();
    answers_.pop_front();
    return answer;
  }
  void answer(std::vector<int> answers) {
    std::lock_guard lock(mu_);
    answers_.assign(answers.begin(), answers.end());
  }

 private:
  EventLog& log_;
  std::mutex mu_;
  std::deque<int> answers_;
};

// Runs `work` on the main queue, which runs for the whole test program as
// the entry point runs it, and returns its result.
template <class T = void>
T onMainQueue(std::type_identity_t<std::function<T()>> work) {
  static std::once_flag started;
  std::call_once(started,
                 [] { std::thread([] { platform::MainQueue::shared().run(); }).detach(); });
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
inline AppServices scriptedServices(EventLog& log, std::shared_ptr<ScriptedAgent> agent,
                                    platform::UserDefaults& defaults) {
  AppServices services;
  services.agentService = [agent] { return agent; };
  services.alerts = std::make_shared<RecordingResponder>(log);
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
