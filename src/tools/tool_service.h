#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/dispatch/event_flag.h"
#include "platform/dispatch/queue.h"
#include "tools/remembered_cancels.h"
#include "tools/run_control.h"
#include "tools/tool_inventory.h"
#include "tools/tool_resolver.h"
#include "update/update_settings.h"
#include "xpc/protocol.h"

namespace zefra::tools {

// What one connection may have in progress. A run holds a thread and a few
// descriptors, and its request stays in memory, until it replies; a run past
// either bound is refused at once with status 126 and a message that says
// which. Cancels of runs not yet started are remembered within their own
// bounds, the oldest forgotten first.
inline constexpr std::size_t kMaxRunsInProgress = 64;
inline constexpr std::size_t kMaxRunRequestBytes = std::size_t{256} << 20;
inline constexpr std::size_t kMaxRememberedCancels = 1024;
inline constexpr std::size_t kMaxRememberedCancelBytes = std::size_t{1} << 20;

// The exported object of one connection.
class ToolService final : public xpc::ZefraHelperProtocol,
                          public std::enable_shared_from_this<ToolService> {
 public:
  static std::shared_ptr<ToolService> create();
  static std::shared_ptr<ToolService> create(
      ToolServiceSettings settings,
      update::UpdateSettings updates = update::defaultUpdateSettings());
  ToolService(ToolServiceSettings settings, update::UpdateSettings updates);

  bool offers(xpc::Selector selector) const override;
  void pingWithReply(xpc::PingReply reply) override;
  void installUpdateFromZipAt(std::string path, xpc::InstallReply reply) override;
  void prepareForUpdateWithReply(xpc::PrepareReply reply) override;
  void toolInventoryWithReply(xpc::InventoryReply reply) override;
  void runWithRunID(std::string runID, std::string tool, std::vector<std::string> arguments,
                    std::optional<xpc::Bytes> input, std::optional<std::string> workingDirectory,
                    xpc::Environment environment, xpc::RunReply reply) override;
  void runWithOptions(std::string runID, std::string tool, std::vector<std::string> arguments,
                      std::optional<xpc::Bytes> input, std::optional<std::string> workingDirectory,
                      xpc::Environment environment, xpc::RunOptions options, xpc::RunOutput output,
                      xpc::RunOutcomeReply reply) override;
  void cancelWithRunID(std::string runID) override;
  // Runs still going keep nothing of their output from now on, and those
  // that asked for it are ended as a cancel ends them.
  void connectionInvalidated() override;

 private:
  class RunSlot;
  struct RunRequest {
    std::string runID;
    std::string tool;
    std::vector<std::string> arguments;
    std::optional<xpc::Bytes> input;
    std::optional<std::string> workingDirectory;
    xpc::Environment environment;
  };
  // A place among the connection's runs in progress; none, and why, past
  // the connection's bounds.
  std::shared_ptr<RunSlot> admitRun(const RunRequest& request, std::string& refusal);
  // Admits the run and hands it to the pool, or refuses it at once.
  void startRun(RunRequest request, const xpc::RunOptions& options, xpc::RunOutput output,
                xpc::RunOutcomeReply reply);
  // Runs the request; it leaves runningProcesses_ before it replies.
  void performRun(const RunRequest& request, const xpc::RunOptions& options,
                  const xpc::RunOutput& output, const xpc::RunOutcomeReply& reply);
  void endRunsOfClosedConnection();
  std::map<std::string, std::string> childEnvironment(const xpc::Environment& requested) const;

  const std::shared_ptr<ToolResolver> resolver_;
  const std::shared_ptr<ToolInventory> inventory_;
  const update::UpdateSettings updates_;

  const platform::ConcurrentQueue workQueue_{};

  std::mutex runningLock_;
  std::map<std::string, std::shared_ptr<RunControl>> runningProcesses_;  // runningLock_
  // Every launched run that ends with the connection, whatever its run ID.
  std::set<std::shared_ptr<RunControl>> endingWithConnection_;  // runningLock_
  RememberedCancels cancelledBeforeLaunch_{kMaxRememberedCancels,
                                           kMaxRememberedCancelBytes};  // runningLock_
  bool loggedForgottenCancels_ = false;                                 // runningLock_
  std::size_t runsInProgress_ = 0;                                      // runningLock_
  std::size_t runRequestBytes_ = 0;                                     // runningLock_

  platform::EventFlag connectionGone_;
};

}  // namespace zefra::tools
