#include "platform/desktop/autostart_agent.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "base/text.h"
#include "platform/desktop/agent_unit_text.h"
#include "platform/files/atomic_file.h"
#include "platform/files/file_moves.h"
#include "platform/files/small_file.h"
#include "platform/process/child_process.h"
#include "platform/socket/runtime_dir.h"

namespace zefra::platform {

namespace {

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
      return pathExists(templatePath()) ? AgentStatus::kNotRegistered : AgentStatus::kNotFound;
    std::istringstream lines(entry.value());
    std::string line;
    bool inMainGroup = false;
    while (std::getline(lines, line)) {
      // Spaces around "=" are allowed, and some editors end lines with CR.
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty() && line.front() == '[') inMainGroup = line == "[Desktop Entry]";
      if (!inMainGroup) continue;
      const std::size_t equals = line.find('=');
      if (equals == std::string::npos) continue;
      const std::string_view key = base::trimmed(std::string_view(line).substr(0, equals));
      const std::string_view value = base::trimmed(std::string_view(line).substr(equals + 1));
      if ((key == "Hidden" && value == "true") ||
          (key == "X-GNOME-Autostart-enabled" && value == "false")) {
        return AgentStatus::kRequiresApproval;
      }
    }
    return AgentStatus::kEnabled;
  }

  Status registerAndReturnError() override {
    if (!pathExists(templatePath())) {
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

}  // namespace

std::unique_ptr<AgentService> makeAutostartAgent(std::string base, AgentLocations locations) {
  return std::make_unique<AutostartAgent>(std::move(base), std::move(locations));
}

}  // namespace zefra::platform
