#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/dispatch/queue.h"
#include "tools/tool_resolver.h"
#include "xpc/protocol.h"

namespace zefra::tools {

// Inventories asked for while one is in progress share its answer, up to
// this many of them; more get an empty inventory at once.
inline constexpr std::size_t kMaxInventoryWaiters = 64;

// Every catalogue tool that is installed, with its path and version. Each
// tool is looked at by its own pool item, and whichever finishes last
// answers, so no thread waits for the others.
class ToolInventory : public std::enable_shared_from_this<ToolInventory> {
 public:
  explicit ToolInventory(std::shared_ptr<ToolResolver> resolver) : resolver_(std::move(resolver)) {}

  void request(xpc::InventoryReply reply);

 private:
  struct Pass {
    std::mutex lock;
    xpc::Inventory result;  // lock
    std::atomic<std::size_t> toolsLeft{0};
  };
  void finish(const std::shared_ptr<Pass>& pass);

  const std::shared_ptr<ToolResolver> resolver_;
  const platform::ConcurrentQueue queue_{};
  std::mutex lock_;
  std::vector<xpc::InventoryReply> waiters_;  // lock_
};

}  // namespace zefra::tools
