// Quitting with the host application.
#include "app/helper_delegate.h"

namespace zefra::app {

void HelperDelegate::hostAppDidTerminate(const platform::TerminationNotification& notification) {
  if (!notification.application) return;
  const auto& identifier = notification.application->bundleIdentifier();
  if (!identifier || *identifier != kHostBundleIdentifier) return;
  for (const auto& instance : settings_.services.runningApplications(kHostBundleIdentifier)) {
    if (!instance.isTerminated()) return;
  }
  terminate();
}

}  // namespace zefra::app
