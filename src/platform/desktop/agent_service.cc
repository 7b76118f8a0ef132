#include "platform/desktop/agent_service.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/desktop/bundle.h"
#include "platform/dispatch/queue.h"
#include "platform/files/atomic_file.h"
#include "platform/files/file_moves.h"
#include "platform/files/small_file.h"
#include "platform/process/child_process.h"
#include "platform/process/executable_search.h"
#include "platform/socket/runtime_dir.h"
#include "platform/user_info.h"

namespace zefra::platform {

namespace {

std::string baseName(std::string_view plistName) {
  constexpr std::string_view kSuffix = ".plist";
  if (plistName.ends_with(kSuffix)) plistName.remove_suffix(kSuffix.size());
  return std::string(plistName);
}

bool exists(const std::string& path) {
  return ::access(path.c_str(), F_OK) == 0;
}

std::string replaceAll(std::string text, std::string_view from, std::string_view to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// The executable as one quoted argument of a unit's ExecStart=.
std::string unitExecQuoted(const std::string& path) {
  std::string quoted = "\"";
  for (char c : path) {
    if (c == '\\' || c == '"') quoted += '\\';
    if (c == '%') quoted += '%';
    if (c == '$') quoted += '$';
    quoted += c;
  }
  return quoted + "\"";
}

// The executable as one quoted argument of a desktop entry's Exec key: the
// quoting rule of Exec, then the string escape of the file format.
std::string desktopExecQuoted(const std::string& path) {
  std::string quoted = "\"";
  for (char c : path) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += "\\\\";
    if (c == '%') quoted += '%';
    quoted += c;
  }
  return quoted + "\"";
}

Result<std::string> instantiate(const std::string& templatePath, const std::string& executable) {
  Result<std::string> text = readSmallFile(templatePath);
  if (!text) return text.error();
  return replaceAll(std::move(text).value(), "@EXECUTABLE@", executable);
}

Status noNewlines(const std::string& path) {
  if (path.find_first_of("\n\r") != std::string::npos) {
    return Error{EINVAL, "the helper's path contains a line break: " + path};
  }
  return Ok{};
}

// ----------------------------------------------------------------- autostart

// True when some process, in this network namespace, has a listening socket
// bound at `path`: the kernel's socket table says so whether or not the
// owner would answer.
bool socketHeld(const std::string& path) {
  std::ifstream table("/proc/net/unix");
  std::string line;
  std::getline(table, line);  // header
  while (std::getline(table, line)) {
    // Num RefCount Protocol Flags Type St Inode Path
    std::istringstream fields(line);
    std::string num, refs, protocol, flags, type, state, inode;
    if (!(fields >> num >> refs >> protocol >> flags >> type >> state >> inode)) continue;
    std::string bound;
    std::getline(fields, bound);
    if (!bound.empty() && bound.front() == ' ') bound.erase(0, 1);
    const unsigned long flagBits = std::strtoul(flags.c_str(), nullptr, 16);
    if (bound == path && (flagBits & 0x10000UL) != 0) return true;
  }
  return false;
}

class AutostartAgent final : public AgentService {
 public:
  AutostartAgent(std::string base, AgentLocations locations)
      : base_(std::move(base)), locations_(std::move(locations)) {}

  std::string entryPath() const {
    return locations_.configHome + "/autostart/" + base_ + ".desktop";
  }
  std::string templatePath() const { return locations_.resourcePath + "/" + base_ + ".desktop"; }

  AgentStatus status() override {
    Result<std::string> entry = readSmallFile(entryPath());
    if (!entry)
      return exists(templatePath()) ? AgentStatus::kNotRegistered : AgentStatus::kNotFound;
    std::istringstream lines(entry.value());
    std::string line;
    bool inMainGroup = false;
    while (std::getline(lines, line)) {
      if (!line.empty() && line.front() == '[') inMainGroup = line == "[Desktop Entry]";
      if (!inMainGroup) continue;
      if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false") {
        return AgentStatus::kRequiresApproval;
      }
    }
    return AgentStatus::kEnabled;
  }

  Status registerAndReturnError() override {
    if (!exists(templatePath())) {
      return Error{ENOENT, "the bundle has no autostart entry at " + templatePath()};
    }
    if (Status checked = noNewlines(locations_.executablePath); !checked) return checked;
    Result<std::string> entry =
        instantiate(templatePath(), desktopExecQuoted(locations_.executablePath));
    if (!entry) return entry.error();
    if (Status made = createDirectories(locations_.configHome + "/autostart", 0755); !made) {
      return made;
    }
    if (Status written = writeFileAtomically(entryPath(), entry.value(), 0644); !written) {
      return written;
    }
    startIfNobodyListens();
    return Ok{};
  }

  Status unregisterAndReturnError() override {
    if (::unlink(entryPath().c_str()) != 0) {
      if (errno == ENOENT) return Error{ENOENT, "Zefra Helper is not registered as a login item"};
      return errnoError("cannot remove " + entryPath(), errno);
    }
    return Ok{};
  }

 private:
  // The agent would only start at the next login; an instance that holds
  // either socket (answering or not) already stands in for it, and a second
  // one could not listen anyway.
  void startIfNobodyListens() {
    if (locations_.serviceNames.empty()) return;
    for (const auto& name : locations_.serviceNames) {
      Result<std::string> path = servicePath(name, locations_.runtimeDirectory);
      if (!path || socketHeld(path.value())) return;
    }
    SpawnOptions options;
    options.executable = locations_.executablePath;
    options.standardInput = Stdio::nullDevice();
    options.standardOutput = Stdio::nullDevice();
    options.standardError = Stdio::nullDevice();
    // Reaped in the background should it end while we still run.
    (void)spawnProcess(options);
  }

  std::string base_;
  AgentLocations locations_;
};

// ------------------------------------------------------------------- systemd

// The helper changes its own registration while systemd runs it as the
// service, so nothing here may stop that service halfway, and its sockets must
// stay the ones it holds: systemd refuses to start a socket whose service runs,
// and one started later binds a new socket at the path, which the running
// helper never sees. So the service does not require its sockets; while it
// runs, a registration only rewrites, enables and reloads (a reload keeps
// listening sockets), and an unregistration made from inside it leaves the
// sockets listening for it. Its ExecStopPost= brings them in line with the
// registration once it has ended.
class SystemdAgent final : public AgentService {
 public:
  SystemdAgent(std::string systemctl, std::string base, AgentLocations locations)
      : systemctl_(std::move(systemctl)),
        base_(std::move(base)),
        locations_(std::move(locations)) {}

  std::string serviceUnit() const { return base_ + ".service"; }
  std::vector<std::string> socketUnits() const {
    return {base_ + ".socket", base_ + "-team.socket"};
  }
  std::vector<std::string> unitNames() const {
    return {serviceUnit(), socketUnits()[0], socketUnits()[1]};
  }
  std::string unitDirectory() const { return locations_.configHome + "/systemd/user"; }
  bool templatesPresent() const {
    for (const auto& unit : unitNames()) {
      if (!exists(locations_.resourcePath + "/" + unit)) return false;
    }
    return true;
  }

  AgentStatus status() override {
    auto answer = systemctl({"is-enabled", socketUnits()[0]});
    std::string state = answer ? answer->standardOutput : "";
    while (!state.empty() && (state.back() == '\n' || state.back() == ' ')) state.pop_back();
    if (state == "enabled" || state == "enabled-runtime") return AgentStatus::kEnabled;
    if (state == "masked" || state == "masked-runtime") return AgentStatus::kRequiresApproval;
    return templatesPresent() ? AgentStatus::kNotRegistered : AgentStatus::kNotFound;
  }

  Status registerAndReturnError() override {
    if (!templatesPresent()) {
      return Error{ENOENT, "the bundle has no systemd units in " + locations_.resourcePath};
    }
    if (Status checked = noNewlines(locations_.executablePath); !checked) return checked;
    if (Status made = createDirectories(unitDirectory(), 0755); !made) return made;
    for (const auto& unit : unitNames()) {
      Result<std::string> text = instantiate(locations_.resourcePath + "/" + unit,
                                             unitExecQuoted(locations_.executablePath));
      if (!text) return text.error();
      if (Status written = writeFileAtomically(unitDirectory() + "/" + unit, text.value(), 0644);
          !written) {
        return written;
      }
    }
    // A reload keeps the descriptors of sockets that are listening; the
    // rewritten service takes effect at its next start.
    if (Status enabled = check(systemctl(withSockets({"enable", "--no-reload"})), "enable");
        !enabled) {
      return enabled;
    }
    if (Status reloaded = check(systemctl({"daemon-reload"}), "daemon-reload"); !reloaded) {
      return reloaded;
    }
    if (insideService() || serviceRuns()) return Ok{};
    return check(systemctl(withSockets({"start"})), "start");
  }

  Status unregisterAndReturnError() override {
    bool any = false;
    for (const auto& unit : unitNames()) any = any || exists(unitDirectory() + "/" + unit);
    if (!any) return Error{ENOENT, "Zefra Helper is not registered as a login item"};
    const bool self = insideService();
    Status outcome = check(systemctl(withSockets({"disable", "--no-reload"})), "disable");
    // Another instance is taken out of service with its sockets, after the
    // disable: its ExecStopPost= would start enabled sockets again.
    if (!self) {
      std::vector<std::string> units = withSockets({"stop"});
      units.push_back(serviceUnit());
      if (Status stopped = check(systemctl(units), "stop"); !stopped && outcome) outcome = stopped;
    }
    for (const auto& unit : unitNames()) ::unlink((unitDirectory() + "/" + unit).c_str());
    // Not while we run as the service: the units stay loaded as they were,
    // so its ExecStopPost= still runs and stops the sockets when it ends.
    if (!self) (void)systemctl({"daemon-reload"});
    return outcome;
  }

 private:
  // Whether the manager runs the service: another instance, when it is not us.
  bool serviceRuns() const {
    auto answer = systemctl({"show", "--property=ActiveState", "--value", serviceUnit()});
    if (!answer || answer->status != 0) return false;
    const std::string state = answer->standardOutput.substr(0, answer->standardOutput.find('\n'));
    return !state.empty() && state != "inactive" && state != "failed";
  }
  // Whether this process is the service's (or one it started): it lies in
  // the cgroup systemd made for the unit. Read from the kernel, not asked of
  // the manager, so no busy or reloading manager can make the helper take
  // itself for another instance and stop itself.
  bool insideService() const {
    std::ifstream cgroups("/proc/self/cgroup");
    for (std::string line; std::getline(cgroups, line);) {
      // hierarchy:controllers:/path/of/the/cgroup
      std::istringstream path(line.substr(line.find(':', line.find(':') + 1) + 1));
      for (std::string component; std::getline(path, component, '/');) {
        if (component == serviceUnit()) return true;
      }
    }
    return false;
  }
  std::vector<std::string> withSockets(std::vector<std::string> arguments) const {
    for (auto& unit : socketUnits()) arguments.push_back(unit);
    return arguments;
  }
  Result<CommandOutcome> systemctl(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), "--user");
    return runCommand(systemctl_, arguments);
  }
  static Status check(const Result<CommandOutcome>& outcome, const std::string& what) {
    if (!outcome) return outcome.error();
    if (outcome->status != 0) {
      return Error{0,
                   "systemctl " + what + " failed with status " + std::to_string(outcome->status)};
    }
    return Ok{};
  }

  std::string systemctl_;
  std::string base_;
  AgentLocations locations_;
};

std::optional<std::string> reachableSystemctl() {
  auto systemctl = findExecutableOnPath("systemctl");
  if (!systemctl) return std::nullopt;
  auto reached = runCommand(*systemctl, {"--user", "show-environment"});
  if (!reached || reached->status != 0) return std::nullopt;
  return systemctl;
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
      return std::make_unique<SystemdAgent>(*systemctl, base_, locations_);
    }
    return std::make_unique<AutostartAgent>(base_, locations_);
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
