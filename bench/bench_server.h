#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "client/remote_proxy.h"
#include "ipc/listener.h"
#include "platform/desktop/user_defaults.h"
#include "platform/process/process_signals.h"
#include "tools/tool_service.h"
#include "xpc/exported_object.h"
#include "xpc/interface.h"

namespace zefra::bench {

// A helper's serving side in this process: a real listener whose connections
// each get a ToolService over a temporary home. The signature check is left
// out: it is paid once per connection and measured on its own.
class BenchServer {
 public:
  BenchServer() {
    platform::ignoreSigpipe();
    char pattern[] = "/tmp/zefra-bench-XXXXXX";
    root_ = mkdtemp(pattern);
    runtime_ = root_ + "/runtime";
    mkdir(runtime_.c_str(), 0700);
    std::filesystem::create_directories(bin());
    defaults_ = std::make_unique<platform::UserDefaults>(root_ + "/defaults.json");
    ipc::ListenerOptions options;
    options.runtimeDirectory = runtime_;
    auto listener = ipc::Listener::open(
        "group.com.ovak.zefra.helper",
        [this](ipc::ServerConnection& connection) {
          connection.setExportedInterface(xpc::makeHelperInterface());
          connection.setExportedObject(xpc::makeExportedObject(newService()));
          return true;
        },
        options);
    listener_ = std::move(listener.value());
  }
  ~BenchServer() {
    listener_.reset();
    std::filesystem::remove_all(root_);
  }

  std::string bin() const { return root_ + "/home/.local/bin"; }
  const std::string& runtimeDirectory() const { return runtime_; }
  std::shared_ptr<tools::ToolService> newService() {
    tools::ToolServiceSettings settings;
    settings.homeDirectory = root_ + "/home";
    settings.defaults = defaults_.get();
    settings.loginShell = "/bin/false";
    return tools::ToolService::create(settings);
  }
  std::shared_ptr<client::RemoteProxy> connect() {
    ipc::ConnectOptions options;
    options.runtimeDirectory = runtime_;
    return client::RemoteProxy::connect("group.com.ovak.zefra.helper", nullptr, options).value();
  }

 private:
  std::string root_;
  std::string runtime_;
  std::unique_ptr<platform::UserDefaults> defaults_;
  std::unique_ptr<ipc::Listener> listener_;
};

}  // namespace zefra::bench
