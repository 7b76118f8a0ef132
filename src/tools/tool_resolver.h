#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zefra::platform {
class UserDefaults;
}  // namespace zefra::platform

namespace zefra::tools {

// What a service reads from its surroundings; tests substitute a temporary
// home, defaults file and login shell.
struct ToolServiceSettings {
  std::string homeDirectory;
  platform::UserDefaults* defaults = nullptr;
  std::string loginShell;
  // A version probe that has not exited by then is cut off.
  double versionProbeTimeout = 10.0;
  // A login-shell lookup that has not ended by then is cut off, whatever its
  // profile left running.
  double loginShellTimeout = 10.0;
};

ToolServiceSettings defaultToolServiceSettings();

// Where catalogue tools are and which version each is, with the in-memory
// and persisted caches behind both answers. Thread-safe.
class ToolResolver {
 public:
  explicit ToolResolver(ToolServiceSettings settings);

  // Nothing for a tool outside the catalogue or not found.
  std::optional<std::string> resolveToolPath(const std::string& tool);
  // The login shell's cached answer; an empty path is a negative entry.
  std::optional<std::string> cachedShellPath(const std::string& tool);
  void storeShellPath(const std::string& tool, const std::string& value);
  // The first line of `<path> --version`, cached by the file's mtime.
  std::string toolVersion(const std::string& path);

  const std::vector<std::string>& searchDirectories() const { return searchDirectories_; }

 private:
  std::optional<std::string> lookUpInLoginShell(const std::string& tool);

  const ToolServiceSettings settings_;
  const std::vector<std::string> searchDirectories_;

  std::mutex cacheLock_;
  std::map<std::string, std::string> shellResolved_;  // guarded by cacheLock_
};

}  // namespace zefra::tools
