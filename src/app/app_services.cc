#include "app/app_services.h"

#include <unistd.h>

#include <atomic>

#include "app/self_heal.h"
#include "platform/desktop/bundle.h"
#include "platform/desktop/open_application.h"
#include "platform/dispatch/main_queue.h"
#include "platform/files/quarantine.h"
#include "platform/process/process_arguments.h"
#include "platform/user_info.h"
#include "xpc/interface.h"

namespace zefra::app {
namespace {

std::atomic<int> exitStatus{0};

}  // namespace

int requestedExitStatus() {
  return exitStatus.load();
}

AppServices defaultAppServices(const ipc::ConnectOptions& connectOptions) {
  AppServices services;
  services.agentService = [] {
    auto locations = platform::currentAgentLocations();
    for (auto name : xpc::machServiceNames) locations.serviceNames.emplace_back(name);
    return platform::agentServiceWithPlistName(platform::kAgentPlistName, std::move(locations));
  };
  services.alerts = platform::systemAlertResponder();
  services.defaults = &platform::UserDefaults::standard();
  services.bundlePath = [] { return platform::Bundle::main().bundlePath(); };
  services.infoDictionary = platform::Bundle::main().infoDictionary();
  services.arguments = platform::processArguments();
  services.homeDirectory = platform::homeDirectory();
  services.fileExists = [](const std::string& path) { return ::access(path.c_str(), F_OK) == 0; };
  services.clearQuarantine = [](const std::string& path) {
    return platform::clearQuarantine(path) ? 0 : 1;
  };
  services.openApplication = [](const std::string& path, std::function<void()> completion) {
    platform::openApplication(path, [completion](auto) { completion(); });
  };
  services.machServiceAnswers = [connectOptions](std::function<void(bool)> completion) {
    machServiceAnswers(std::move(completion), connectOptions);
  };
  services.observeTerminations = [](platform::Workspace::Observer observer) {
    platform::Workspace::shared().addTerminationObserver(std::move(observer));
  };
  services.runningApplications = [](std::string_view identifier) {
    return platform::Workspace::shared().runningApplicationsWithBundleIdentifier(identifier);
  };
  services.terminate = [] { platform::MainQueue::shared().stop(); };
  services.exit = [](int status) {
    exitStatus = status;
    platform::MainQueue::shared().stop();
  };
  return services;
}

}  // namespace zefra::app
