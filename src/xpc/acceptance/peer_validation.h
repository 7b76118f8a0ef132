#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "base/result.h"
#include "platform/process/peer_process.h"

namespace zefra::xpc {

// The requirement every peer's running code must meet, and the team its
// signature must name.
inline constexpr std::string_view kPeerRequirement = "anchor apple generic";
inline constexpr std::string_view kPeerTeamIdentifier = "K4T9QZ2M7B";

// The code-signing check of a connected peer, with no side effects: its
// running code satisfies kPeerRequirement under the compiled anchor, then
// the team identifier of its signing information equals kPeerTeamIdentifier
// exactly. Every failure is a silent false.
bool peerIsTrusted(int socketFd);

// The same check, with the reason of a refusal.
base::Status checkPeer(int socketFd);
// The same check of a connecting process, without waiting: what the
// listeners are given as their admission. `done` runs once, on this thread
// or on the one that frees a hashing slot.
void admitPeer(std::shared_ptr<const platform::PeerProcess> peer,
               std::function<void(base::Status)> done);

}  // namespace zefra::xpc
