#pragma once

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "ipc/client_connection.h"
#include "platform/desktop/agent_service.h"
#include "platform/desktop/alerts.h"
#include "platform/desktop/user_defaults.h"
#include "platform/desktop/workspace.h"

namespace zefra::app {

// What the registration flow, the dialogs, the self-heal and the host watch
// reach outside the delegate. The defaults are the real ones; flow tests
// script the agent and the alerts.
struct AppServices {
  // A fresh agent object for each operation.
  std::function<std::shared_ptr<platform::AgentService>()> agentService;
  std::shared_ptr<platform::AlertResponder> alerts;
  platform::UserDefaults* defaults = nullptr;
  // Read at each use, as the bundle may move.
  std::function<std::string()> bundlePath;
  nlohmann::json infoDictionary = nlohmann::json::object();
  std::vector<std::string> arguments;
  std::string homeDirectory;
  std::function<bool(const std::string& path)> fileExists;
  // The exit status of clearing the download-origin attributes.
  std::function<int(const std::string& path)> clearQuarantine;
  // Opens the bundle as a new instance; `completion` may run on any thread.
  std::function<void(const std::string& bundlePath, std::function<void()> completion)>
      openApplication;
  // Yields, on any thread, whether one of the helper's services answered.
  std::function<void(std::function<void(bool answered)> completion)> machServiceAnswers;
  std::function<void(platform::Workspace::Observer observer)> observeTerminations;
  std::function<std::vector<platform::RunningApplication>(std::string_view bundleIdentifier)>
      runningApplications;
  // Ends the main loop, and so the process.
  std::function<void()> terminate;
  // The same, with `status` as the process's exit status.
  std::function<void(int status)> exit;
};

// The status that the last default `exit` asked for; 0 when none did.
int requestedExitStatus();

// This process's bundle, defaults, agent, alerts and workspace; the probe
// dials with `connectOptions`.
AppServices defaultAppServices(const ipc::ConnectOptions& connectOptions = {});

}  // namespace zefra::app
