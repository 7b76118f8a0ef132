#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace zefra::platform {

// The login-item agent of the helper. On Linux it is a systemd user service
// with socket activation when `systemctl --user` reaches a running user
// manager, else an XDG autostart entry; the backend is chosen afresh at each
// call, as a session may gain or lose its user manager.
enum class AgentStatus { kNotRegistered = 0, kEnabled = 1, kRequiresApproval = 2, kNotFound = 3 };

inline constexpr std::string_view kAgentPlistName = "com.ovak.zefra.helper.plist";

class AgentService : public std::enable_shared_from_this<AgentService> {
 public:
  using Completion = std::function<void(std::optional<Error> error)>;
  virtual ~AgentService() = default;

  virtual AgentStatus status() = 0;
  virtual Status registerAndReturnError() = 0;
  virtual Status unregisterAndReturnError() = 0;
  // Unregisters on a pool thread; `completion` runs there.
  virtual void unregisterWithCompletionHandler(Completion completion);
  // The desktop's startup-applications settings, when one is known.
  virtual void openSystemSettingsLoginItems();
};

// Where a backend finds its templates and puts its files.
struct AgentLocations {
  std::string resourcePath;                     // holds the unit templates and the autostart entry
  std::string executablePath;                   // what the agent starts
  std::string configHome;                       // $XDG_CONFIG_HOME, else ~/.config
  std::optional<std::string> runtimeDirectory;  // of the service sockets
  // The sockets whose holder stands in for a started agent; none, and an
  // autostart registration starts nothing.
  std::vector<std::string> serviceNames;
};

// The locations of this process's bundle and environment.
AgentLocations currentAgentLocations();

// The agent named `plistName`; its files are named after it without the
// ".plist": <base>.service, <base>.socket, <base>-team.socket, <base>.desktop.
std::shared_ptr<AgentService> agentServiceWithPlistName(std::string_view plistName);
std::shared_ptr<AgentService> agentServiceWithPlistName(std::string_view plistName,
                                                        AgentLocations locations);

// Takes the helper's agent out of service before its bundle is replaced; a
// failure is of no consequence there.
void unregisterAgentIgnoringErrors();

// True when `systemctl --user` (from PATH) reaches a running user manager.
bool systemdUserManagerReachable();

}  // namespace zefra::platform
