#include "codesign/peer_code_checker.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "platform/clock.h"
#include "platform/process_image.h"

namespace zefra::codesign {
namespace {

bool racy(const FileIdentity& id) {
  double changed = static_cast<double>(std::max(id.mtimeNs, id.ctimeNs)) / 1e9;
  return changed > platform::now() - PeerCodeChecker::kRacySeconds;
}

// Only root can write here, so code mapped from these is the system's.
constexpr std::array<std::string_view, 7> kSystemLibraryDirs = {
    "/usr/lib/", "/lib/", "/usr/lib64/", "/lib64/", "/usr/lib32/", "/lib32/", "/usr/libexec/"};

bool systemLibrary(std::string_view path) {
  return std::any_of(kSystemLibraryDirs.begin(), kSystemLibraryDirs.end(),
                     [&](std::string_view dir) { return path.starts_with(dir); });
}

// Code the loader was told to add, or that was mapped beside the image: it
// runs with the peer's identity without being covered by its signature.
Status refuseInjectedCode(pid_t pid, const FileIdentity& image) {
  auto environment = platform::initialEnvironment(pid);
  if (!environment) return Error{0, "cannot read the peer's environment"};
  for (const std::string& entry : *environment) {
    for (std::string_view name : {"LD_PRELOAD=", "LD_AUDIT=", "LD_LIBRARY_PATH="}) {
      if (std::string_view(entry).starts_with(name)) {
        return Error{0, "injected library: " + std::string(name.substr(0, name.size() - 1))};
      }
    }
  }
  auto mappings = platform::executableMappings(pid);
  if (!mappings) return Error{0, "cannot read the peer's mappings"};
  for (const platform::ExecutableMapping& mapping : *mappings) {
    if (mapping.device == image.device && mapping.inode == image.inode) continue;
    if (systemLibrary(mapping.path) && !mapping.path.ends_with(" (deleted)")) continue;
    return Error{0, "injected library: " + mapping.path};
  }
  return Ok{};
}

}  // namespace

Result<SigningInfo> PeerCodeChecker::verifyInTurn(int imageFd) {
  {
    std::unique_lock lock(mu_);
    turn_.wait(lock, [&] { return verifying_ < kMaxConcurrentVerifications; });
    ++verifying_;
  }
  auto info = verifyExecutable(imageFd, anchor_, options_.verify);
  {
    std::lock_guard lock(mu_);
    --verifying_;
  }
  turn_.notify_one();
  return info;
}

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
    if (auto hit = refusals_.find(key); hit != refusals_.end()) {
      ++stats_.refusalHits;
      return hit->second;
    }
    if (before->size > options_.maxImageSize) {
      ++stats_.oversized;
      Error refused = refusal("the image is larger than " +
                              std::to_string(options_.maxImageSize >> 20) + " MiB");
      if (refusals_.size() >= options_.refusalCapacity) refusals_.erase(refusals_.begin());
      refusals_.emplace(key, refused);
      return refused;
    }
  }
  auto info = verifyInTurn(imageFd);
  auto after = platform::fileIdentity(imageFd);
  std::lock_guard lock(mu_);
  ++stats_.verified;
  // Only a file that stayed the same while it was read, and whose
  // timestamps are old enough to tell a later rewrite, is remembered. A
  // refusal is remembered even when racy: a rewrite changes the key anyway.
  if (!after || *after != *before) return info;
  if (info && !racy(*after)) {
    if (cache_.size() >= options_.cacheCapacity) cache_.erase(cache_.begin());
    cache_.emplace(key, *info);
  } else if (!info) {
    if (refusals_.size() >= options_.refusalCapacity) refusals_.erase(refusals_.begin());
    refusals_.emplace(key, info.error());
  }
  return info;
}

Result<SigningInfo> PeerCodeChecker::check(int socketFd) {
  auto peer = platform::identifyPeer(socketFd);
  if (!peer) return peer.error();
  return check(*peer);
}

Result<SigningInfo> PeerCodeChecker::check(const PeerProcess& peer) {
  if (!platform::runsAsOurUser(peer)) return Error{0, "the peer runs as another user"};
  auto image = platform::openRunningImage(peer);
  if (!image) return image.error();
  auto identity = platform::fileIdentity(image->get());
  if (!identity) return identity.error();
  if (Status clean = refuseInjectedCode(peer.pid, *identity); !clean) return clean.error();
  auto info = verifyImage(image->get());
  if (!info) return info.error();
  if (options_.beforeLivenessCheck) options_.beforeLivenessCheck(peer);
  if (!platform::stillRunning(peer)) return Error{0, "the peer exited during the check"};
  return info;
}

PeerCodeChecker::Stats PeerCodeChecker::stats() const {
  std::lock_guard lock(mu_);
  Stats stats = stats_;
  stats.cached = cache_.size();
  stats.refusals = refusals_.size();
  return stats;
}

void PeerCodeChecker::clearCache() {
  std::lock_guard lock(mu_);
  cache_.clear();
  refusals_.clear();
}

}  // namespace zefra::codesign
