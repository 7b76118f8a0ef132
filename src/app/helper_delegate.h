#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "app/app_services.h"
#include "ipc/listener.h"
#include "platform/desktop/alerts.h"
#include "platform/desktop/launch_event.h"
#include "xpc/protocol.h"

namespace zefra::app {

// What the delegate reaches outside itself; tests substitute the peer check,
// the runtime directory and the service objects.
struct DelegateSettings {
  std::optional<platform::LaunchEvent> launchEvent;
  std::function<bool(const ipc::ServerConnection& connection)> peerIsTrusted;
  std::function<std::shared_ptr<xpc::ZefraHelperProtocol>()> makeService;
  ipc::ListenerOptions listenerOptions;
  AppServices services;
};

// What the launch and registration flows keep in the defaults, look for and
// wait for.
inline constexpr std::string_view kRegisteredVersionKey = "RegisteredAgentVersion";
inline constexpr std::string_view kRegisteredPathKey = "RegisteredAgentPath";
inline constexpr std::string_view kTranslocationMarker = "/AppTranslocation/";
inline constexpr std::string_view kSystemApplicationsCopy = "/Applications/Zefra Helper.app";
inline constexpr std::string_view kUserApplicationsCopy = "Applications/Zefra Helper.app";
inline constexpr std::string_view kReregisterArgument = "--reregister";
inline constexpr int kRegistrationAttempts = 3;
inline constexpr double kRegistrationRetryDelay = 0.7;
inline constexpr double kProbeDelay = 1.5;
inline constexpr double kStatusDialogDelay = 1.0;

// The host application whose last instance takes the helper with it.
inline constexpr std::string_view kHostBundleIdentifier = "com.ovak.zefra";

// The launch event of this process, the signature check and ToolService.
DelegateSettings defaultDelegateSettings();

// The application and listener delegate: one per process, held by
// sharedDelegate(). Everything but the listener callbacks runs on the main
// queue. Its flows, each in a file named for it: launch_flow.cc (the launch
// decision), registration_flow.cc (registering, approval), status_dialog.cc
// (status and uninstall), self_heal.cc, host_watch.cc (quitting with the
// host); helper_delegate.cc has the application and listener callbacks.
class HelperDelegate : public std::enable_shared_from_this<HelperDelegate> {
 public:
  explicit HelperDelegate(DelegateSettings settings);

  void applicationDidFinishLaunching();
  void hostAppDidTerminate(const platform::TerminationNotification& notification);
  // Shows the status and answers NO: nothing else is to be opened. Before
  // the launch decision has run, the reopen waits for it.
  bool applicationShouldHandleReopen(bool hasVisibleWindows);
  // On the pool, for every new connection of either listener.
  bool listenerShouldAcceptNewConnection(ipc::ServerConnection& connection);

  void handleLaunch(bool interactive);
  void registerAgent(const std::string& version, bool firstInstall, bool interactive,
                     int attemptsLeft);
  void showApprovalAlert();
  std::string shortVersionString() const;
  // CFBundleVersion, else "0".
  std::string bundleVersion() const;
  void showStatus();
  void confirmUninstall();
  void selfHealRegistration(const std::string& version);
  bool acceptConnection(ipc::ServerConnection& connection);
  // Ends the main loop without a hook: runs in progress get no reply.
  void terminate();
  // This process serves the reopen channel, so no other instance runs: names
  // found served elsewhere are then the user manager's sockets.
  void setServesReopen(bool serves) { servesReopen_ = serves; }

  // Main queue only.
  bool servedConnection() const { return servedConnection_; }
  const std::vector<std::unique_ptr<ipc::Listener>>& listeners() const { return listeners_; }
  // The flag handleLaunch was given; nothing before launching has finished.
  std::optional<bool> launchInteractive() const { return launchInteractive_; }
  bool reopenPending() const { return reopenPending_; }

 private:
  void handOverTranslocatedCopy();
  int runAlert(const platform::Alert& alert);

  DelegateSettings settings_;
  std::vector<std::unique_ptr<ipc::Listener>> listeners_;
  bool servedConnection_ = false;
  // A reopen may show the status before an interactive launch's own turn.
  bool statusShown_ = false;
  std::optional<bool> launchInteractive_;
  bool launched_ = false;
  bool reopenPending_ = false;
  bool servesReopen_ = false;
  // Set once the user has confirmed an uninstall: a heal or registration
  // already on its way (a probe that failed while the dialog was up) must
  // not register the helper again before it quits.
  bool uninstalling_ = false;
};

// The process-global reference that keeps the one delegate alive.
std::shared_ptr<HelperDelegate>& sharedDelegate();

}  // namespace zefra::app
