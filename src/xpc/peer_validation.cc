#include "xpc/peer_validation.h"

#include <memory>
#include <optional>

#include "codesign/peer_code_checker.h"
#include "codesign/requirement.h"
#include "platform/no_destructor.h"
#include "platform/peer_process.h"

namespace zefra::xpc {
namespace {

// One checker for the process, so its verdict cache serves every listener.
codesign::PeerCodeChecker* compiledChecker() {
  static platform::NoDestructor<std::unique_ptr<codesign::PeerCodeChecker>> checker(
      []() -> std::unique_ptr<codesign::PeerCodeChecker> {
        const auto& anchor = codesign::TrustAnchor::compiled();
        if (!anchor) return nullptr;
        return std::make_unique<codesign::PeerCodeChecker>(anchor.value());
      }());
  return checker.get().get();
}

}  // namespace

bool peerIsTrusted(int socketFd) {
  auto pid = platform::peerPid(socketFd);
  if (!pid) return false;
  static const auto requirement = codesign::parseRequirement(kPeerRequirement);
  if (!requirement) return false;
  codesign::PeerCodeChecker* checker = compiledChecker();
  if (!checker) return false;
  // The running code against the requirement first ...
  auto info = checker->check(socketFd);
  if (!info || !codesign::checkRequirement(*info, requirement.value())) return false;
  // ... and only then the team named by its signing information.
  return info->teamIdentifier && *info->teamIdentifier == kPeerTeamIdentifier;
}

std::optional<pid_t> peerProcessIdentifier(int socketFd) {
  auto pid = platform::peerPid(socketFd);
  if (!pid) return std::nullopt;
  return *pid;
}

}  // namespace zefra::xpc
