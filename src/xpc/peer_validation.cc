#include "xpc/peer_validation.h"

#include <memory>
#include <optional>
#include <string>

#include "codesign/peer_code_checker.h"
#include "codesign/requirement.h"
#include "platform/log.h"
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
  if (platform::Status meets = codesign::checkRequirement(*info, requirement.value()); !meets) {
    return meets;
  }
  if (!info->teamIdentifier || *info->teamIdentifier != kPeerTeamIdentifier) {
    return platform::Error{0, "signed by team " + info->teamIdentifier.value_or("(none)") +
                                  ", not " + std::string(kPeerTeamIdentifier)};
  }
  return platform::Ok{};
}

// Silent unless the detailed log is on.
platform::Status logged(pid_t pid, platform::Status verdict) {
  if (!verdict) platform::logVerbose("refused peer " + std::to_string(pid) + ": " + verdict.error().message);
  return verdict;
}

}  // namespace

platform::Status checkPeer(int socketFd) {
  auto pid = platform::peerPid(socketFd);
  if (!pid) return pid.error();
  codesign::PeerCodeChecker* checker = compiledChecker();
  if (!checker) return platform::Error{0, "no trust anchor"};
  return logged(*pid, judge(checker->check(socketFd)));
}

platform::Status checkPeerProcess(const platform::PeerProcess& peer) {
  codesign::PeerCodeChecker* checker = compiledChecker();
  if (!checker) return platform::Error{0, "no trust anchor"};
  return logged(peer.pid, judge(checker->checkProcess(peer)));
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
