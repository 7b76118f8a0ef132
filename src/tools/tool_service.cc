#include "tools/tool_service.h"

#include "platform/user_defaults.h"
#include "platform/user_info.h"
#include "tools/catalogue.h"
#include "tools/process_tree.h"
#include "xpc/helper_version.h"

namespace zefra::tools {

ToolServiceSettings defaultToolServiceSettings() {
  ToolServiceSettings settings;
  settings.homeDirectory = platform::homeDirectory();
  settings.defaults = &platform::UserDefaults::standard();
  settings.loginShell = platform::loginShell();
  return settings;
}

std::shared_ptr<ToolService> ToolService::create() { return create(defaultToolServiceSettings()); }

std::shared_ptr<ToolService> ToolService::create(ToolServiceSettings settings) {
  return std::make_shared<ToolService>(std::move(settings));
}

ToolService::ToolService(ToolServiceSettings settings) : resolver_(std::move(settings)) {}

bool ToolService::offers(xpc::Selector selector) const {
  switch (selector) {
    case xpc::Selector::kPing:
    case xpc::Selector::kToolInventory:
    case xpc::Selector::kRun:
    case xpc::Selector::kCancel:
      return true;
    case xpc::Selector::kPrepareForUpdate:
    case xpc::Selector::kInstallUpdate:
      break;
  }
  return false;
}

void ToolService::pingWithReply(xpc::PingReply reply) { reply(xpc::helperVersion()); }

// Not offered to peers yet (offers() says so, and the transport refuses the
// call); answering plainly keeps direct callers from hanging.
void ToolService::prepareForUpdateWithReply(xpc::PrepareReply reply) { reply(false); }

void ToolService::installUpdateFromZipAt(std::string, xpc::InstallReply reply) {
  reply(false, "Zefra Helper: Updates are not available in this build.");
}

void ToolService::cancelWithRunID(std::string runID) {
  std::lock_guard lock(runningLock_);
  if (auto found = runningProcesses_.find(runID); found != runningProcesses_.end()) {
    terminateProcessTree(*found->second);
    return;
  }
  cancelledBeforeLaunch_.insert(std::move(runID));
}

}  // namespace zefra::tools
