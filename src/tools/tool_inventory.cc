#include "tools/tool_inventory.h"

#include <string>
#include <string_view>

#include "tools/catalogue.h"

namespace zefra::tools {

void ToolInventory::request(xpc::InventoryReply reply) {
  {
    std::lock_guard lock(lock_);
    if (waiters_.size() >= kMaxInventoryWaiters) {
      reply({});
      return;
    }
    waiters_.push_back(std::move(reply));
    if (waiters_.size() > 1) return;  // it shares the one in progress
  }
  auto pass = std::make_shared<Pass>();
  pass->toolsLeft = std::size(allowedTools);
  for (std::string_view name : allowedTools) {
    queue_.async([self = shared_from_this(), pass, tool = std::string(name)] {
      if (auto path = self->resolver_->resolveToolPath(tool)) {
        std::string version = self->resolver_->toolVersion(*path);
        std::lock_guard lock(pass->lock);
        pass->result[tool] = {{"path", *path}, {"version", std::move(version)}};
      }
      if (pass->toolsLeft.fetch_sub(1) == 1) self->finish(pass);
    });
  }
}

void ToolInventory::finish(const std::shared_ptr<Pass>& pass) {
  std::vector<xpc::InventoryReply> waiters;
  {
    std::lock_guard lock(lock_);
    waiters.swap(waiters_);
  }
  // Every other item wrote its entry before its decrement, which the last
  // one's decrement has seen.
  for (const auto& reply : waiters) reply(pass->result);
}

}  // namespace zefra::tools
