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

// The running code against the requirement first, and only then the team
// named by its signing information.
platform::Status judge(platform::Result<codesign::SigningInfo> info) {
  static const auto requirement = codesign::parseRequirement(kPeerRequirement);
  if (!requirement) return platform::Error{0, "the requirement does not parse"};
  if (!info) return info.error();
  if (!codesign::checkRequirement(*info, requirement.value())) {
    return platform::Error{0, "the code does not meet the requirement"};
  }
  if (!info->teamIdentifier || *info->teamIdentifier != kPeerTeamIdentifier) {
    return platform::Error{0, "signed by another team"};
  }
  return platform::Ok{};
}

}  // namespace

platform::Status checkPeer(int socketFd) {
  auto pid = platform::peerPid(socketFd);
  if (!pid) return pid.error();
  codesign::PeerCodeChecker* checker = compiledChecker();
  if (!checker) return platform::Error{0, "no trust anchor"};
  return judge(checker->check(socketFd));
}

platform::Status checkPeerProcess(const platform::PeerProcess& peer) {
  codesign::PeerCodeChecker* checker = compiledChecker();
  if (!checker) return platform::Error{0, "no trust anchor"};
  return judge(checker->checkProcess(peer));
}

platform::Status checkSender(const platform::PeerProcess& sender) {
  return checkPeerProcess(sender);
}

bool peerIsTrusted(int socketFd) {
  return static_cast<bool>(checkPeer(socketFd));
}

std::optional<pid_t> peerProcessIdentifier(int socketFd) {
  auto pid = platform::peerPid(socketFd);
  if (!pid) return std::nullopt;
  return *pid;
}

}  // namespace zefra::xpc
