// Zefra Helper: the per-user agent that runs the user's command-line tools
// for Zefra Writer.
#include "app/app_services.h"
#include "app/helper_delegate.h"
#include "app/reopen_channel.h"
#include "codesign/openssl_pages.h"
#include "platform/desktop/open_application.h"
#include "platform/dispatch/main_queue.h"
#include "platform/dispatch/queue.h"
#include "platform/log.h"
#include "platform/process/orphan_reaper.h"
#include "platform/process/process_arguments.h"
#include "platform/process/process_resources.h"
#include "platform/process/process_signals.h"

int main() {
  using namespace zefra;
  // Before anything opens a descriptor: a log line must not reach a socket.
  platform::openMissingStandardDescriptors();
  // Before any thread: a connection or run burst then costs two arenas, and
  // what it freed goes back to the system once the pool is idle again, with
  // the signature checks' code.
  platform::boundAllocatorArenas();
  // Also before any thread, as it must hear SIGCHLD. Whether runs get cgroups
  // is learnt only at the first run; where they do not, what a tool's tree
  // leaves when its parent ends becomes ours and is reaped here, and where
  // they do, this only reaps the daemons of runs that ended normally.
  auto reaper = platform::OrphanReaper::start();
  if (!reaper) platform::log(reaper.error().message);
  platform::setPoolIdleAction([] {
    platform::releaseFreeMemory();
    codesign::pageOutOpenSsl();
  });
  if (auto raised = platform::raiseDescriptorLimit(); !raised) {
    platform::log("cannot raise the descriptor limit: " + raised.error().message);
  }
  platform::ignoreSigpipe();
  platform::setVerboseLogging(platform::verboseLoggingRequested(platform::processArguments()));
  const bool newInstance = platform::newInstanceRequested();

  auto settings = app::defaultDelegateSettings();
  // The running instance shows itself; this launch has nothing more to do.
  if (settings.launchEvent && !newInstance && app::forwardReopen()) return 0;

  auto& delegate = app::sharedDelegate();
  delegate = std::make_shared<app::HelperDelegate>(settings);
  auto reopen = app::openReopenListener(delegate, settings.peerIsTrusted, settings.listenerOptions);
  delegate->setServesReopen(static_cast<bool>(reopen));

  auto& mainQueue = platform::MainQueue::shared();
  // A normal end removes the socket files on the way out.
  platform::onTerminationSignal([&mainQueue](int) { mainQueue.stop(); });
  mainQueue.async([] { app::sharedDelegate()->applicationDidFinishLaunching(); });
  mainQueue.run();
  return app::requestedExitStatus();
}
