#include "codesign/peer_code_checker.h"

#include <algorithm>

#include "platform/clock.h"

namespace zefra::codesign {
namespace {

bool racy(const FileIdentity& id) {
  double changed = static_cast<double>(std::max(id.mtimeNs, id.ctimeNs)) / 1e9;
  return changed > platform::now() - PeerCodeChecker::kRacySeconds;
}

}  // namespace

Result<SigningInfo> PeerCodeChecker::verifyImage(int imageFd) {
  auto before = platform::fileIdentity(imageFd);
  if (!before) return before.error();
  Key key = keyOf(*before);
  {
    std::lock_guard lock(mu_);
    if (auto hit = cache_.find(key); hit != cache_.end()) {
      if (!racy(*before)) {
        ++stats_.cacheHits;
        return hit->second;
      }
      cache_.erase(hit);
    }
  }
  auto info = verifyExecutable(imageFd, anchor_, options_.verify);
  auto after = platform::fileIdentity(imageFd);
  std::lock_guard lock(mu_);
  ++stats_.verified;
  // Only a file that stayed the same while it was read, and whose
  // timestamps are old enough to tell a later rewrite, is remembered.
  if (info && after && *after == *before && !racy(*after)) {
    if (cache_.size() >= options_.cacheCapacity) cache_.erase(cache_.begin());
    cache_.emplace(key, *info);
  }
  return info;
}

Result<SigningInfo> PeerCodeChecker::check(int socketFd) {
  auto peer = platform::identifyPeer(socketFd);
  if (!peer) return peer.error();
  if (!platform::runsAsOurUser(*peer)) return Error{0, "the peer runs as another user"};
  auto image = platform::openRunningImage(*peer);
  if (!image) return image.error();
  auto info = verifyImage(image->get());
  if (!info) return info.error();
  if (options_.beforeLivenessCheck) options_.beforeLivenessCheck(*peer);
  if (!platform::stillRunning(*peer)) return Error{0, "the peer exited during the check"};
  return info;
}

PeerCodeChecker::Stats PeerCodeChecker::stats() const {
  std::lock_guard lock(mu_);
  Stats stats = stats_;
  stats.cached = cache_.size();
  return stats;
}

void PeerCodeChecker::clearCache() {
  std::lock_guard lock(mu_);
  cache_.clear();
}

}  // namespace zefra::codesign
