#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "xpc/run_options.h"

namespace zefra::xpc {

using base::Bytes;

// Tool name to {"path": ..., "version": ...}.
using Inventory = std::map<std::string, std::map<std::string, std::string>>;
using Environment = std::map<std::string, std::string>;

using PingReply = std::function<void(std::string version)>;
using InventoryReply = std::function<void(Inventory inventory)>;
using RunReply = std::function<void(Bytes standardOutput, Bytes standardError, int32_t status)>;
using PrepareReply = std::function<void(bool ok)>;
using InstallReply = std::function<void(bool ok, std::string message)>;

enum class Selector {
  kPing,
  kToolInventory,
  kRun,
  kCancel,
  kPrepareForUpdate,
  kInstallUpdate,
  kRunWithOptions,
};
inline constexpr int kSelectorCount = 7;

// The wire names of the operations, in declaration order.
const char* selectorName(Selector selector);
std::optional<Selector> selectorFromName(std::string_view name);

// The contract between Zefra Writer and the helper. Each reply is called
// exactly once, from any thread. Nil strings, lists and maps arrive as empty
// values; a nil input stays distinct from empty input.
class ZefraHelperProtocol {
 public:
  virtual ~ZefraHelperProtocol() = default;

  // Operations an object has not built yet are not offered: calling one is a
  // protocol violation, not a fake reply.
  virtual bool offers(Selector selector) const = 0;

  virtual void pingWithReply(PingReply reply) = 0;
  virtual void toolInventoryWithReply(InventoryReply reply) = 0;
  virtual void runWithRunID(std::string runID, std::string tool, std::vector<std::string> arguments,
                            std::optional<Bytes> input, std::optional<std::string> workingDirectory,
                            Environment environment, RunReply reply) = 0;
  // The same run with options (a timeout, an output limit, streaming, an end
  // with the connection), answered with what happened. A streaming run's
  // chunks go to `output`, in order per stream, all before the reply.
  virtual void runWithOptions(std::string runID, std::string tool,
                              std::vector<std::string> arguments, std::optional<Bytes> input,
                              std::optional<std::string> workingDirectory, Environment environment,
                              RunOptions options, RunOutput output, RunOutcomeReply reply) = 0;
  virtual void cancelWithRunID(std::string runID) = 0;
  virtual void prepareForUpdateWithReply(PrepareReply reply) = 0;
  virtual void installUpdateFromZipAt(std::string path, InstallReply reply) = 0;

  // Not an operation: the serving side's notice that the connection has
  // closed, so no reply can reach the caller any more. Must not block.
  virtual void connectionInvalidated() {}
};

}  // namespace zefra::xpc
