#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/result.h"
#include "ipc/client_connection.h"
#include "xpc/protocol.h"

namespace zefra::client {

using base::Bytes;

// ZefraHelperProtocol over a connection to the helper. Each call's reply runs
// once on the connection's delivery queue; when the connection fails or
// closes, the error handler runs once for each call still waiting (and once
// for any call made afterwards), and that call's reply never runs. Replies,
// chunk handlers and error handlers must not throw: they run on the
// library's threads, where an exception ends the process.
//
// Destroying the proxy closes the connection, so whoever waits for a reply
// keeps the proxy alive (capture it in the reply and the error handler).
class RemoteProxy final : public xpc::ZefraHelperProtocol {
 public:
  using ErrorHandler = std::function<void(const base::Error& error)>;

  // Fails when the runtime directory is refused or nobody serves the name.
  static base::Result<std::shared_ptr<RemoteProxy>> connect(
      std::string_view serviceName, ErrorHandler errorHandler,
      const ipc::ConnectOptions& options = {});
  // Over a connected socket (tests, socket pairs).
  static base::Result<std::shared_ptr<RemoteProxy>> adopt(base::UniqueFd socket,
                                                          ErrorHandler errorHandler);

  explicit RemoteProxy(ipc::ClientConnection connection, ErrorHandler errorHandler);
  ~RemoteProxy() override;

  // Closes the connection; waiting calls get the error.
  void invalidate();

  // Every operation is sent; the helper decides what it offers.
  bool offers(xpc::Selector) const override { return true; }
  void pingWithReply(xpc::PingReply reply) override;
  void toolInventoryWithReply(xpc::InventoryReply reply) override;
  void runWithRunID(std::string runID, std::string tool, std::vector<std::string> arguments,
                    std::optional<Bytes> input, std::optional<std::string> workingDirectory,
                    xpc::Environment environment, xpc::RunReply reply) override;
  // With options.stream, `output` gets each chunk (its stream and bytes) on
  // the delivery queue, in order and before the reply. While chunks wait for
  // a slow handler, the connection reads no more, and the helper in turn
  // stops reading the tool's output.
  void runWithOptions(std::string runID, std::string tool, std::vector<std::string> arguments,
                      std::optional<Bytes> input, std::optional<std::string> workingDirectory,
                      xpc::Environment environment, xpc::RunOptions options, xpc::RunOutput output,
                      xpc::RunOutcomeReply reply) override;
  void cancelWithRunID(std::string runID) override;
  void prepareForUpdateWithReply(xpc::PrepareReply reply) override;
  void installUpdateFromZipAt(std::string path, xpc::InstallReply reply) override;

  // Waiting forms for the command-line client and tests: the reply, or the
  // connection's error (which then does not reach the error handler). Never
  // call them from a reply or error handler of the same proxy. The caller
  // yields for up to 100 µs before it sleeps, which halves a quick call.
  struct RunResult {
    Bytes standardOutput;
    Bytes standardError;
    std::int32_t status = 0;
  };
  base::Result<std::string> ping();
  base::Result<xpc::Inventory> toolInventory();
  base::Result<RunResult> run(std::string runID, std::string tool,
                              std::vector<std::string> arguments, std::optional<Bytes> input,
                              std::optional<std::string> workingDirectory,
                              xpc::Environment environment);
  // The run with options; chunks go to `output` while it waits.
  base::Result<xpc::RunOutcome> run(std::string runID, std::string tool,
                                    std::vector<std::string> arguments, std::optional<Bytes> input,
                                    std::optional<std::string> workingDirectory,
                                    xpc::Environment environment, xpc::RunOptions options,
                                    xpc::RunOutput output = {});
  base::Result<bool> prepareForUpdate();
  base::Result<std::pair<bool, std::string>> installUpdate(std::string path);

 private:
  ipc::ClientConnection connection_;
  ErrorHandler errorHandler_;
};

}  // namespace zefra::client
