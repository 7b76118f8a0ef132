#pragma once

#include <memory>
#include <optional>
#include <string>

#include "base/result.h"
#include "ipc/client_connection.h"
#include "ipc/listener.h"

namespace zefra::app {

class HelperDelegate;

// The per-user control service through which a second launch hands its
// reopen to the running instance.
inline constexpr std::string_view kControlServiceName = "com.ovak.zefra.helper.control";

// Serves reopen requests: each runs applicationShouldHandleReopen on the main
// queue. Peers pass the same signature check as the tool service.
base::Result<std::unique_ptr<ipc::Listener>> openReopenListener(
    std::weak_ptr<HelperDelegate> delegate,
    std::function<bool(const ipc::ServerConnection&)> peerIsTrusted,
    const ipc::ListenerOptions& options = {});

// True when a running instance took the reopen (the caller then exits 0);
// false when none answers.
bool forwardReopen(const ipc::ConnectOptions& options = {});

}  // namespace zefra::app
