#include "tools/tool_service.h"

#include <atomic>
#include <utility>

#include "base/no_destructor.h"
#include "platform/desktop/user_defaults.h"
#include "platform/dispatch/main_queue.h"
#include "platform/log.h"
#include "platform/user_info.h"
#include "tools/catalogue.h"
#include "tools/helper_version.h"
#include "update/install_update.h"
#include "update/prepare_update.h"

namespace zefra::tools {

ToolServiceSettings defaultToolServiceSettings() {
  ToolServiceSettings settings;
  settings.homeDirectory = platform::homeDirectory();
  settings.defaults = &platform::UserDefaults::standard();
  settings.loginShell = platform::loginShell();
  return settings;
}

std::shared_ptr<ToolService> ToolService::create() {
  return create(defaultToolServiceSettings());
}

std::shared_ptr<ToolService> ToolService::create(ToolServiceSettings settings,
                                                 update::UpdateSettings updates) {
  return std::make_shared<ToolService>(std::move(settings), std::move(updates));
}

ToolService::ToolService(ToolServiceSettings settings, update::UpdateSettings updates)
    : resolver_(std::make_shared<ToolResolver>(std::move(settings))),
      inventory_(std::make_shared<ToolInventory>(resolver_)),
      updates_(std::move(updates)) {}

bool ToolService::offers(xpc::Selector selector) const {
  switch (selector) {
    case xpc::Selector::kPing:
    case xpc::Selector::kToolInventory:
    case xpc::Selector::kRun:
    case xpc::Selector::kCancel:
    case xpc::Selector::kPrepareForUpdate:
    case xpc::Selector::kInstallUpdate:
    case xpc::Selector::kRunWithOptions:
      return true;
  }
  return false;
}

void ToolService::toolInventoryWithReply(xpc::InventoryReply reply) {
  inventory_->request(std::move(reply));
}

void ToolService::pingWithReply(xpc::PingReply reply) {
  reply(tools::helperVersion());
}

namespace {

constexpr char kLeaving[] = "Zefra Helper is restarting for an update and didn't install this one.";

// One install at a time in the whole process: each may unpack up to the
// unpacker's limit into the temporary folder, and a waiting one holds no
// thread.
platform::SerialQueue& installQueue() {
  static base::NoDestructor<platform::SerialQueue> queue("zefra.helper.install");
  return queue.get();
}

// Set, for good, once the process is to end for an update (a preparation
// for one, or one installed): an install from then on would be cut off by
// the end.
std::atomic<bool> leaving{false};

// The end waits for an install in progress: quick_exit runs no destructor,
// so one cut off mid-way would leave its staging folder (up to the
// unpacker's limit) and its caller without an answer.
void endAfter(double seconds, platform::Work end) {
  platform::MainQueue::shared().asyncAfter(seconds,
                                           [end = std::move(end)] { installQueue().async(end); });
}

}  // namespace

// The helper keeps serving runs until the exit; only installs are refused.
void ToolService::prepareForUpdateWithReply(xpc::PrepareReply reply) {
  leaving = true;
  reply(true);
  endAfter(0.3, [settings = updates_] {
    update::takeOutOfService(settings);
    if (settings.endProcess) settings.endProcess();
  });
}

void ToolService::installUpdateFromZipAt(std::string path, xpc::InstallReply reply) {
  installQueue().async(
      [self = shared_from_this(), path = std::move(path), reply = std::move(reply)] {
        if (leaving) {
          reply(false, kLeaving);
          return;
        }
        auto outcome = update::installUpdateFromZip(path, self->updates_);
        if (outcome.ok) leaving = true;
        reply(outcome.ok, outcome.message);
        if (!outcome.ok) return;
        endAfter(0.2, [end = self->updates_.endProcess] {
          if (end) end();
        });
      });
}

void ToolService::cancelWithRunID(std::string runID) {
  {
    std::lock_guard lock(runningLock_);
    if (auto found = runningProcesses_.find(runID); found != runningProcesses_.end()) {
      found->second->end(RunControl::Reason::kCancel);
      return;
    }
    if (cancelledBeforeLaunch_.remember(std::move(runID)) ||
        std::exchange(loggedForgottenCancels_, true)) {
      return;
    }
  }
  platform::log("a connection cancelled more runs that had not started than are kept (" +
                std::to_string(kMaxRememberedCancels) + " run IDs, " +
                std::to_string(kMaxRememberedCancelBytes >> 20) +
                " MiB); the oldest are forgotten");
}

void ToolService::connectionInvalidated() {
  connectionGone_.raise();
  // Off the I/O thread: ending a tree walks the process table.
  platform::globalQueue().async([self = shared_from_this()] { self->endRunsOfClosedConnection(); });
}

// Runs that launch from now on see the raised flag when they register.
void ToolService::endRunsOfClosedConnection() {
  std::lock_guard lock(runningLock_);
  for (const auto& run : endingWithConnection_) run->end(RunControl::Reason::kDisconnect);
}

}  // namespace zefra::tools
