// Registering the agent, with its retries and outcome alerts.
#include "app/helper_delegate.h"
#include "platform/dispatch/main_queue.h"
#include "platform/log.h"

namespace zefra::app {

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
