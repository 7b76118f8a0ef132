// The launch decision and the registration with its outcome alerts.
#include "app/launch_flow.h"

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

std::string HelperDelegate::bundleVersion() const {
  auto it = settings_.services.infoDictionary.find("CFBundleVersion");
  if (it == settings_.services.infoDictionary.end() || !it->is_string()) return "0";
  return it->get<std::string>();
}

std::string HelperDelegate::shortVersionString() const {
  auto it = settings_.services.infoDictionary.find("CFBundleShortVersionString");
  if (it == settings_.services.infoDictionary.end() || !it->is_string()) return "?";
  return it->get<std::string>();
}

int HelperDelegate::runAlert(const platform::Alert& alert) {
  return settings_.services.alerts->runModal(alert);
}

void HelperDelegate::terminate() {
  settings_.services.terminate();
}

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
      if (self && !self->servedConnection_) self->showStatus();
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

void HelperDelegate::registerAgent(const std::string& version, bool firstInstall, bool interactive,
                                   int attemptsLeft) {
  if (uninstalling_) return;
  auto& services = settings_.services;
  auto agent = services.agentService();
  base::Status registered = agent->registerAndReturnError();
  if (!registered) {
    if (attemptsLeft >= 2) {
      platform::MainQueue::shared().asyncAfter(
          kRegistrationRetryDelay,
          [weak = weak_from_this(), version, firstInstall, interactive, attemptsLeft] {
            if (auto self = weak.lock()) {
              self->registerAgent(version, firstInstall, interactive, attemptsLeft - 1);
            }
          });
      return;
    }
    const std::string& description = registered.error().message;
    if (!interactive) {
      platform::log("Zefra Helper: register failed \u2014 " + description);
    } else {
      runAlert({"Couldn't install Zefra Helper",
                "Move Zefra Helper to the Applications folder and open it again. If it's "
                "already there, remove Zefra Helper from System Settings \u25b8 General \u25b8 "
                "Login Items & Extensions, then open it once more. (" +
                    description + ")",
                {}});
    }
    return;
  }
  (void)services.defaults->setObject(kRegisteredVersionKey, version);
  (void)services.defaults->setObject(kRegisteredPathKey, services.bundlePath());
  if (agent->status() == platform::AgentStatus::kRequiresApproval) {
    if (interactive) showApprovalAlert();
    return;
  }
  if (!interactive && !firstInstall) return;
  if (firstInstall) {
    runAlert({"Zefra Helper installed",
              "Zefra Writer can now compile with the tools installed on this Mac (pandoc, "
              "pandoc-crossref, LaTeX\u2026). You can delete the downloaded copy \u2014 the "
              "helper runs automatically when needed. Remove it any time by opening Zefra Helper "
              "again, or in System Settings \u25b8 General \u25b8 Login Items & Extensions.",
              {}});
  } else {
    runAlert({"Zefra Helper updated",
              "Version " + shortVersionString() +
                  " is now installed and will run automatically when Zefra Writer needs it.",
              {}});
  }
}

void HelperDelegate::showApprovalAlert() {
  const int answer =
      runAlert({"Zefra Helper needs your approval",
                "macOS is waiting for you to allow Zefra Helper under System Settings \u25b8 "
                "General \u25b8 Login Items & Extensions. Zefra Writer can't use it until then.",
                {"Open Login Items\u2026", "Later"}});
  if (answer == platform::kAlertFirstButton) {
    settings_.services.agentService()->openSystemSettingsLoginItems();
  }
}

}  // namespace zefra::app
