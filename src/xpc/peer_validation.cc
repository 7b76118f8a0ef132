#include "xpc/peer_validation.h"

#include <memory>
#include <optional>

#include "platform/code_verify.h"
#include "platform/no_destructor.h"
#include "platform/peer_process.h"

namespace zefra::xpc {
namespace {

// One checker for the process, so its verdict cache serves every listener.
platform::PeerCodeChecker* compiledChecker() {
  static platform::NoDestructor<std::unique_ptr<platform::PeerCodeChecker>> checker(
      []() -> std::unique_ptr<platform::PeerCodeChecker> {
        const auto& anchor = platform::TrustAnchor::compiled();
        if (!anchor) return nullptr;
        return std::make_unique<platform::PeerCodeChecker>(anchor.value());
      }());
  return checker.get().get();
}

}  // namespace

bool peerIsTrusted(int socketFd) {
  auto pid = platform::peerPid(socketFd);
  if (!pid) return false;
  static const auto requirement = platform::parseRequirement(kPeerRequirement);
  if (!requirement) return false;
  platform::PeerCodeChecker* checker = compiledChecker();
  if (!checker) return false;
  // The running code against the requirement first ...
  auto info = checker->check(socketFd);
  if (!info || !platform::checkRequirement(*info, requirement.value())) return false;
  // ... and only then the team named by its signing information.
  return info->teamIdentifier && *info->teamIdentifier == kPeerTeamIdentifier;
}

std::optional<pid_t> peerProcessIdentifier(int socketFd) {
  auto pid = platform::peerPid(socketFd);
  if (!pid) return std::nullopt;
  return *pid;
}

}  // namespace zefra::xpc
