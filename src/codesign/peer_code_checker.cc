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

// Only root writes here, so code mapped from these is the system's.
constexpr std::array<std::string_view, 7> kSystemLibraryDirs = {
    "/usr/lib/", "/lib/", "/usr/lib64/", "/lib64/", "/usr/lib32/", "/lib32/", "/usr/libexec/"};

bool systemLibrary(std::string_view path) {
  if (path.ends_with(" (deleted)")) return false;
  return std::any_of(kSystemLibraryDirs.begin(), kSystemLibraryDirs.end(),
                     [&](std::string_view dir) { return path.starts_with(dir); });
}

template <class Map, class Value>
void insertBounded(Map& map, std::size_t capacity, const typename Map::key_type& key, Value value) {
  if (map.size() >= capacity) map.erase(map.begin());
  map.insert_or_assign(key, std::move(value));
}

}  // namespace

Status checkNothingInjected(const PeerProcess& peer, const FileIdentity& image) {
  // What the loader was told to add runs with the peer's identity without
  // being covered by its signature.
  auto environment = platform::initialEnvironment(peer.pid);
  if (!environment) return Error{0, "cannot read the peer's environment"};
  for (const std::string& entry : *environment) {
    for (std::string_view name : {"LD_PRELOAD", "LD_AUDIT", "LD_LIBRARY_PATH"}) {
      if (entry.size() > name.size() && entry.starts_with(name) && entry[name.size()] == '=') {
        return Error{0, "injected library: " + std::string(name)};
      }
    }
  }
  auto mappings = platform::executableMappings(peer.pid);
  if (!mappings) return Error{0, "cannot read the peer's mappings"};
  for (const platform::ExecutableMapping& mapping : *mappings) {
    if (mapping.device == image.device && mapping.inode == image.inode) continue;
    if (systemLibrary(mapping.path)) continue;
    return Error{0, "injected library: " + mapping.path};
  }
  return Ok{};
}

std::optional<Result<SigningInfo>> PeerCodeChecker::cachedLocked(const Key& key,
                                                                 const FileIdentity& id) {
  if (auto hit = cache_.find(key); hit != cache_.end()) {
    if (!racy(id)) {
      ++stats_.cacheHits;
      return Result<SigningInfo>(hit->second);
    }
    cache_.erase(hit);
  }
  if (auto hit = refusals_.find(key); hit != refusals_.end()) {
    ++stats_.refusalHits;
    return Result<SigningInfo>(hit->second);
  }
  return std::nullopt;
}

Result<SigningInfo> PeerCodeChecker::verifyImage(int imageFd, const FileIdentity& before) {
  const Key key = keyOf(before);
  {
    std::unique_lock lock(mu_);
    if (auto cached = cachedLocked(key, before)) return std::move(*cached);
    if (before.size > options_.maxImageSize) {
      ++stats_.oversized;
      Error refused =
          refusal("image larger than " + std::to_string(options_.maxImageSize >> 20) + " MiB");
      insertBounded(refusals_, options_.refusalCapacity, key, refused);
      return refused;
    }
    // Waiting here takes a pool thread; the pool grows for it, and the
    // hashing itself stays bounded.
    slotFreed_.wait(lock, [&] { return verifying_ < options_.concurrentVerifications; });
    // Another check may have settled this image meanwhile.
    if (auto cached = cachedLocked(key, before)) return std::move(*cached);
    ++verifying_;
  }
  auto info = verifyExecutable(imageFd, anchor_, options_.verify);
  auto after = platform::fileIdentity(imageFd);
  {
    std::lock_guard lock(mu_);
    --verifying_;
    ++stats_.verified;
    // Only a file that stayed the same while it was read is remembered; a
    // valid verdict also needs timestamps old enough to tell a later
    // rewrite, while a refusal needs none (a rewrite changes the key).
    if (after && *after == before) {
      if (!info) {
        insertBounded(refusals_, options_.refusalCapacity, key, info.error());
      } else if (!racy(*after)) {
        insertBounded(cache_, options_.cacheCapacity, key, *info);
      }
    }
  }
  slotFreed_.notify_one();
  return info;
}

Result<SigningInfo> PeerCodeChecker::check(int socketFd) {
  auto peer = platform::identifyPeer(socketFd);
  if (!peer) return peer.error();
  return checkProcess(*peer);
}

Result<SigningInfo> PeerCodeChecker::checkProcess(const PeerProcess& peer) {
  if (!platform::runsAsOurUser(peer)) return Error{0, "the peer runs as another user"};
  auto image = platform::openRunningImage(peer);
  if (!image) return image.error();
  auto identity = platform::fileIdentity(image->get());
  if (!identity) return identity.error();
  {
    // A known refusal needs no look at the process: the cheapest answer to
    // a flood of the same unsigned program.
    std::lock_guard lock(mu_);
    if (auto hit = refusals_.find(keyOf(*identity)); hit != refusals_.end()) {
      ++stats_.refusalHits;
      return hit->second;
    }
  }
  if (Status clean = checkNothingInjected(peer, *identity); !clean) return clean.error();
  auto info = verifyImage(image->get(), *identity);
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
