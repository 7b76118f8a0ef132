#include "platform/desktop/systemd_agent.h"

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <vector>

#include "base/text.h"
#include "platform/desktop/agent_unit_text.h"
#include "platform/files/atomic_file.h"
#include "platform/files/file_moves.h"
#include "platform/process/child_process.h"
#include "platform/process/executable_search.h"

namespace zefra::platform {

namespace {

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
      if (!pathExists(locations_.resourcePath + "/" + unit)) return false;
    }
    return true;
  }

  // The agent serves on both sockets: a user who masked either one refused
  // it, and one left disabled is a registration to make again.
  AgentStatus status() override {
    std::size_t enabled = 0;
    for (const auto& socket : socketUnits()) {
      auto answer = systemctl({"is-enabled", socket});
      const std::string output = answer ? answer->standardOutput : "";
      const std::string_view state = base::trimmed(output);
      if (state == "masked" || state == "masked-runtime") return AgentStatus::kRequiresApproval;
      enabled += state == "enabled" || state == "enabled-runtime";
    }
    if (enabled == socketUnits().size()) return AgentStatus::kEnabled;
    return templatesPresent() ? AgentStatus::kNotRegistered : AgentStatus::kNotFound;
  }

  Status registerAndReturnError() override {
    if (!templatesPresent()) {
      return Error{ENOENT, "the bundle has no systemd units in " + locations_.resourcePath};
    }
    if (Status checked = startableByUserManager(locations_.executablePath); !checked) {
      return checked;
    }
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
    for (const auto& unit : unitNames()) any = any || pathExists(unitDirectory() + "/" + unit);
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

}  // namespace

std::unique_ptr<AgentService> makeSystemdAgent(std::string systemctl, std::string base,
                                               AgentLocations locations) {
  return std::make_unique<SystemdAgent>(std::move(systemctl), std::move(base),
                                        std::move(locations));
}

std::optional<std::string> reachableSystemctl() {
  auto systemctl = findExecutableOnPath("systemctl");
  if (!systemctl) return std::nullopt;
  auto reached = runCommand(*systemctl, {"--user", "show-environment"});
  if (!reached || reached->status != 0) return std::nullopt;
  return systemctl;
}

}  // namespace zefra::platform
