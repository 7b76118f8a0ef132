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

// Silent unless the detailed log is on.
bool refused(pid_t pid, const std::string& reason) {
  platform::logVerbose("refused peer " + std::to_string(pid) + ": " + reason);
  return false;
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
  platform::Status meets = info ? codesign::checkRequirement(*info, requirement.value())
                                : platform::Status(info.error());
  if (!meets) return refused(*pid, meets.error().message);
  // ... and only then the team named by its signing information.
  if (info->teamIdentifier && *info->teamIdentifier == kPeerTeamIdentifier) return true;
  return refused(*pid, "signed by team " + info->teamIdentifier.value_or("(none)") + ", not " +
                           std::string(kPeerTeamIdentifier));
}

std::optional<pid_t> peerProcessIdentifier(int socketFd) {
  auto pid = platform::peerPid(socketFd);
  if (!pid) return std::nullopt;
  return *pid;
}

}  // namespace zefra::xpc
