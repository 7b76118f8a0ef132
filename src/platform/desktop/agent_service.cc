#include "platform/desktop/agent_service.h"

#include <cstdlib>
#include <vector>

#include "platform/desktop/autostart_agent.h"
#include "platform/desktop/bundle.h"
#include "platform/desktop/systemd_agent.h"
#include "platform/dispatch/queue.h"
#include "platform/process/child_process.h"
#include "platform/process/executable_search.h"
#include "platform/user_info.h"

namespace zefra::platform {

namespace {

std::string baseName(std::string_view plistName) {
  constexpr std::string_view kSuffix = ".plist";
  if (plistName.ends_with(kSuffix)) plistName.remove_suffix(kSuffix.size());
  return std::string(plistName);
}

// Chooses the backend at each call.
class LoginAgent final : public AgentService {
 public:
  LoginAgent(std::string base, AgentLocations locations)
      : base_(std::move(base)), locations_(std::move(locations)) {}

  AgentStatus status() override { return backend()->status(); }
  Status registerAndReturnError() override { return backend()->registerAndReturnError(); }
  Status unregisterAndReturnError() override { return backend()->unregisterAndReturnError(); }

 private:
  std::unique_ptr<AgentService> backend() const {
    if (auto systemctl = reachableSystemctl()) {
      return makeSystemdAgent(*systemctl, base_, locations_);
    }
    return makeAutostartAgent(base_, locations_);
  }

  std::string base_;
  AgentLocations locations_;
};

}  // namespace

void AgentService::unregisterWithCompletionHandler(Completion completion) {
  globalQueue().async([self = shared_from_this(), completion] {
    Status status = self->unregisterAndReturnError();
    completion(status ? std::nullopt : std::optional<Error>(status.error()));
  });
}

void AgentService::openSystemSettingsLoginItems() {
  const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
  const std::string_view session = desktop ? desktop : "";
  std::vector<std::vector<std::string>> candidates;
  if (session.find("GNOME") != std::string_view::npos) {
    candidates = {{"gnome-session-properties"}, {"gnome-tweaks"}};
  } else if (session.find("KDE") != std::string_view::npos) {
    candidates = {{"systemsettings", "kcm_autostart"}, {"kcmshell5", "kcm_autostart"}};
  } else if (session.find("XFCE") != std::string_view::npos) {
    candidates = {{"xfce4-session-settings"}};
  }
  for (auto& command : candidates) {
    auto executable = findExecutableOnPath(command.front());
    if (!executable) continue;
    SpawnOptions options;
    options.executable = *executable;
    options.arguments.assign(command.begin() + 1, command.end());
    options.standardInput = Stdio::nullDevice();
    (void)spawnProcess(options);
    return;
  }
}

AgentLocations currentAgentLocations() {
  AgentLocations locations;
  const Bundle& bundle = Bundle::main();
  locations.resourcePath = bundle.resourcePath();
  locations.executablePath = bundle.executablePath();
  const char* config = std::getenv("XDG_CONFIG_HOME");
  locations.configHome = config && config[0] == '/' ? config : homeDirectory() + "/.config";
  return locations;
}

std::shared_ptr<AgentService> agentServiceWithPlistName(std::string_view plistName) {
  return agentServiceWithPlistName(plistName, currentAgentLocations());
}

std::shared_ptr<AgentService> agentServiceWithPlistName(std::string_view plistName,
                                                        AgentLocations locations) {
  return std::make_shared<LoginAgent>(baseName(plistName), std::move(locations));
}

void unregisterAgentIgnoringErrors() {
  (void)agentServiceWithPlistName(kAgentPlistName)->unregisterAndReturnError();
}

bool systemdUserManagerReachable() {
  return reachableSystemctl().has_value();
}

}  // namespace zefra::platform
