#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/queue.h"
#include "tools/tool_resolver.h"
#include "update/update_settings.h"
#include "xpc/protocol.h"

namespace zefra::platform {
class ChildProcess;
}  // namespace zefra::platform

namespace zefra::tools {

// The exported object of one connection.
class ToolService final : public xpc::ZefraHelperProtocol,
                          public std::enable_shared_from_this<ToolService> {
 public:
  static std::shared_ptr<ToolService> create();
  static std::shared_ptr<ToolService> create(
      ToolServiceSettings settings, update::UpdateSettings updates = update::defaultUpdateSettings());
  ToolService(ToolServiceSettings settings, update::UpdateSettings updates);

  bool offers(xpc::Selector selector) const override;
  void pingWithReply(xpc::PingReply reply) override;
  void installUpdateFromZipAt(std::string path, xpc::InstallReply reply) override;
  void prepareForUpdateWithReply(xpc::PrepareReply reply) override;
  void toolInventoryWithReply(xpc::InventoryReply reply) override;
  void runWithRunID(std::string runID, std::string tool, std::vector<std::string> arguments,
                    std::optional<xpc::Bytes> input, std::optional<std::string> workingDirectory,
                    xpc::Environment environment, xpc::RunReply reply) override;
  void cancelWithRunID(std::string runID) override;

 private:
  void performRun(const std::string& runID, const std::string& tool,
                  const std::vector<std::string>& arguments, const std::optional<xpc::Bytes>& input,
                  const std::optional<std::string>& workingDirectory,
                  const xpc::Environment& environment, const xpc::RunReply& reply);
  std::map<std::string, std::string> childEnvironment(const xpc::Environment& requested) const;
  void performInventory(const xpc::InventoryReply& reply);

  ToolResolver resolver_;
  const update::UpdateSettings updates_;

  const platform::ConcurrentQueue workQueue_{};

  std::mutex runningLock_;
  std::map<std::string, std::shared_ptr<platform::ChildProcess>> runningProcesses_;  // runningLock_
  std::set<std::string> cancelledBeforeLaunch_;                                      // runningLock_
};

}  // namespace zefra::tools
