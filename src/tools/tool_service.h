#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/queue.h"
#include "update/update_settings.h"
#include "xpc/protocol.h"

namespace zefra::platform {
class ChildProcess;
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
  update::UpdateSettings update;
};

ToolServiceSettings defaultToolServiceSettings();

// The exported object of one connection.
class ToolService final : public xpc::ZefraHelperProtocol,
                          public std::enable_shared_from_this<ToolService> {
 public:
  static std::shared_ptr<ToolService> create();
  static std::shared_ptr<ToolService> create(ToolServiceSettings settings);
  explicit ToolService(ToolServiceSettings settings);

  bool offers(xpc::Selector selector) const override;
  void pingWithReply(xpc::PingReply reply) override;
  void installUpdateFromZipAt(std::string path, xpc::InstallReply reply) override;
  void prepareForUpdateWithReply(xpc::PrepareReply reply) override;
  void toolInventoryWithReply(xpc::InventoryReply reply) override;
  void runWithRunID(std::string runID, std::string tool, std::vector<std::string> arguments,
                    std::optional<xpc::Bytes> input, std::optional<std::string> workingDirectory,
                    xpc::Environment environment, xpc::RunReply reply) override;
  void cancelWithRunID(std::string runID) override;

  std::optional<std::string> resolveToolPath(const std::string& tool);
  std::optional<std::string> cachedShellPath(const std::string& tool);
  void storeShellPath(const std::string& tool, const std::string& value);
  std::string toolVersion(const std::string& path);

  const std::vector<std::string>& searchDirectories() const { return searchDirectories_; }

 private:
  void performRun(const std::string& runID, const std::string& tool,
                  const std::vector<std::string>& arguments, const std::optional<xpc::Bytes>& input,
                  const std::optional<std::string>& workingDirectory,
                  const xpc::Environment& environment, const xpc::RunReply& reply);
  std::map<std::string, std::string> childEnvironment(const xpc::Environment& requested) const;
  std::optional<std::string> lookUpInLoginShell(const std::string& tool);
  void performInventory(const xpc::InventoryReply& reply);

  const ToolServiceSettings settings_;
  const std::vector<std::string> searchDirectories_;

  std::mutex cacheLock_;
  std::map<std::string, std::string> shellResolved_;  // guarded by cacheLock_

  const platform::ConcurrentQueue workQueue_{"zefra.helper.work"};

  std::mutex runningLock_;
  std::map<std::string, std::shared_ptr<platform::ChildProcess>> runningProcesses_;  // runningLock_
  std::set<std::string> cancelledBeforeLaunch_;                                      // runningLock_
};

}  // namespace zefra::tools
