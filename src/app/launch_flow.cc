// The launch decision: where this copy runs from and whether it registers.
#include "app/helper_delegate.h"
#include "platform/dispatch/main_queue.h"
#include "platform/dispatch/queue.h"
#include "platform/log.h"

namespace zefra::app {

namespace {

const platform::Alert kQuarantineAlert{
    "Couldn't install Zefra Helper",
    "macOS is running a quarantined copy of Zefra Helper from a temporary location. Drag it out "
    "of the Applications folder and back in using Finder, then open it again.",
    {}};

}  // namespace

void HelperDelegate::handleLaunch(bool interactive) {
  launchInteractive_ = interactive;
  auto& services = settings_.services;
  if (services.bundlePath().find(kTranslocationMarker) != std::string::npos) {
    handOverTranslocatedCopy();
    return;
  }
  auto agent = services.agentService();
  const std::string version = bundleVersion();
  const auto recordedVersion = services.defaults->stringForKey(kRegisteredVersionKey);
  const auto recordedPath = services.defaults->stringForKey(kRegisteredPathKey);
  bool reregister = false;
  for (const auto& argument : services.arguments)
    reregister = reregister || argument == kReregisterArgument;

  switch (agent->status()) {
    case platform::AgentStatus::kRequiresApproval:
      if (interactive) showApprovalAlert();
      return;
    case platform::AgentStatus::kEnabled:
      break;
    default:
      registerAgent(version, !recordedVersion.has_value(), interactive, kRegistrationAttempts);
      return;
  }

  const bool changed = !recordedVersion || *recordedVersion != version || !recordedPath ||
                       *recordedPath != services.bundlePath() || reregister;
  std::weak_ptr<HelperDelegate> weak = weak_from_this();
  if (changed) {
    agent->unregisterWithCompletionHandler([weak, version, interactive](auto) {
      platform::MainQueue::shared().async([weak, version, interactive] {
        if (auto self = weak.lock()) {
          self->registerAgent(version, false, interactive, kRegistrationAttempts);
        }
      });
    });
    return;
  }

  platform::globalQueue().asyncAfter(kProbeDelay, [weak, version] {
    auto self = weak.lock();
    if (!self) return;
    auto answers = self->settings_.services.machServiceAnswers;
    self.reset();
    answers([weak, version](bool answered) {
      if (answered) return;
      platform::MainQueue::shared().async([weak, version] {
        if (auto self = weak.lock()) self->selfHealRegistration(version);
      });
    });
  });
  if (interactive) {
    platform::MainQueue::shared().asyncAfter(kStatusDialogDelay, [weak] {
      auto self = weak.lock();
      if (self && !self->servedConnection_ && !self->statusShown_) self->showStatus();
    });
  }
}

void HelperDelegate::handOverTranslocatedCopy() {
  auto& services = settings_.services;
  std::string chosen;
  for (const std::string& candidate :
       {std::string(kSystemApplicationsCopy),
        services.homeDirectory + "/" + std::string(kUserApplicationsCopy)}) {
    if (services.fileExists(candidate)) {
      chosen = candidate;
      break;
    }
  }
  if (chosen.empty() || services.clearQuarantine(chosen) != 0) {
    runAlert(kQuarantineAlert);
    return;
  }
  // The copy must find the service names free: this instance ends anyway.
  listeners_.clear();
  std::weak_ptr<HelperDelegate> weak = weak_from_this();
  services.openApplication(chosen, [weak] {
    platform::MainQueue::shared().async([weak] {
      if (auto self = weak.lock()) self->terminate();
    });
  });
}

}  // namespace zefra::app
