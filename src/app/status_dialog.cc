// The status dialog and the uninstall confirmation.
#include "app/helper_delegate.h"
#include "platform/dispatch/main_queue.h"

namespace zefra::app {

void HelperDelegate::showStatus() {
  statusShown_ = true;
  switch (settings_.services.agentService()->status()) {
    case platform::AgentStatus::kRequiresApproval:
      showApprovalAlert();
      return;
    case platform::AgentStatus::kEnabled:
      if (runAlert({"Zefra Helper " + shortVersionString() + " is installed",
                    "It runs automatically whenever Zefra Writer compiles with the tools on this "
                    "Mac (pandoc, pandoc-crossref, LaTeX\u2026) \u2014 there's nothing to "
                    "configure here. Uninstall removes it from Login Items; after that you can "
                    "delete the app itself.",
                    {"OK", "Uninstall\u2026"}}) == platform::kAlertSecondButton) {
        confirmUninstall();
      }
      return;
    default:
      if (runAlert({"Zefra Helper isn't installed",
                    "Install registers it in Login Items so Zefra Writer can compile with the "
                    "tools installed on this Mac.",
                    {"Install", "Cancel"}}) == platform::kAlertFirstButton) {
        registerAgent(bundleVersion(), true, true, kRegistrationAttempts);
      }
      return;
  }
}

void HelperDelegate::confirmUninstall() {
  if (runAlert({"Uninstall Zefra Helper?",
                "This removes Zefra Helper from Login Items and quits it. Zefra Writer will fall "
                "back to asking for tools manually. Afterwards you can delete Zefra Helper from "
                "the Applications folder.",
                {"Uninstall", "Cancel"}}) != platform::kAlertFirstButton) {
    return;
  }
  uninstalling_ = true;
  (void)settings_.services.defaults->removeObject(kRegisteredVersionKey);
  settings_.services.agentService()->unregisterWithCompletionHandler(
      [weak = weak_from_this()](std::optional<base::Error> error) {
        platform::MainQueue::shared().async([weak, error] {
          auto self = weak.lock();
          if (!self) return;
          if (error) {
            self->runAlert({"Couldn't uninstall Zefra Helper",
                            "Remove it in System Settings \u25b8 General \u25b8 Login Items & "
                            "Extensions instead. (" +
                                error->message + ")",
                            {}});
          }
          self->terminate();
        });
      });
}

}  // namespace zefra::app
