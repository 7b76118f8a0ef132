#include "xpc/acceptance/peer_validation.h"

#include <memory>
#include <optional>
#include <string>

#include "base/no_destructor.h"
#include "codesign/peer_code_checker.h"
#include "codesign/requirement.h"
#include "platform/log.h"
#include "platform/process/confined_runs.h"
#include "platform/process/peer_process.h"

namespace zefra::xpc {
namespace {

// The running code against the requirement first, and only then the team
// named by its signing information.
base::Status judge(const codesign::SigningInfo& info) {
  static const auto requirement = codesign::parseRequirement(kPeerRequirement);
  if (!requirement) return base::Error{0, "the requirement does not parse"};
  if (base::Status meets = codesign::checkRequirement(info, requirement.value()); !meets) {
    return meets;
  }
  if (!info.teamIdentifier || *info.teamIdentifier != kPeerTeamIdentifier) {
    return base::Error{0, "signed by team " + info.teamIdentifier.value_or("(none)") + ", not " +
                              std::string(kPeerTeamIdentifier)};
  }
  return base::Ok{};
}

// One checker for the process, so its verdict cache serves every listener.
// It judges a signature before hashing the code it covers.
codesign::PeerCodeChecker* compiledChecker() {
  static base::NoDestructor<std::unique_ptr<codesign::PeerCodeChecker>> checker(
      []() -> std::unique_ptr<codesign::PeerCodeChecker> {
        const auto& anchor = codesign::TrustAnchor::compiled();
        if (!anchor) return nullptr;
        codesign::PeerCodeChecker::Options options;
        options.requirement = judge;
        return std::make_unique<codesign::PeerCodeChecker>(anchor.value(), std::move(options));
      }());
  return checker.get().get();
}

base::Status verdictOf(const base::Result<codesign::SigningInfo>& info) {
  if (!info) return info.error();
  return base::Ok{};
}

// Silent unless the detailed log is on.
base::Status logged(pid_t pid, base::Status verdict) {
  if (!verdict)
    platform::logVerbose("refused peer " + std::to_string(pid) + ": " + verdict.error().message);
  return verdict;
}

}  // namespace

base::Status checkPeer(int socketFd) {
  auto pid = platform::peerPid(socketFd);
  if (!pid) return pid.error();
  codesign::PeerCodeChecker* checker = compiledChecker();
  if (!checker) return base::Error{0, "no trust anchor"};
  return logged(*pid, verdictOf(checker->check(socketFd)));
}

void admitPeer(std::shared_ptr<const platform::PeerProcess> peer,
               std::function<void(base::Status)> done) {
  codesign::PeerCodeChecker* checker = compiledChecker();
  if (!checker) return done(base::Error{0, "no trust anchor"});
  const pid_t pid = peer->pid;
  if (platform::inConfinedRun(*peer)) {
    return done(logged(pid, base::Error{EPERM, "a process of a confined run"}));
  }
  checker->checkProcess(std::move(peer), [pid, done = std::move(done)](auto info) {
    done(logged(pid, verdictOf(info)));
  });
}

bool peerIsTrusted(int socketFd) {
  return static_cast<bool>(checkPeer(socketFd));
}

}  // namespace zefra::xpc
