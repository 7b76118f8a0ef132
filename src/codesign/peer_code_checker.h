#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <tuple>

#include "codesign/verify.h"
#include "platform/files.h"
#include "platform/peer_process.h"

namespace zefra::codesign {

using platform::FileIdentity;
using platform::PeerProcess;

// Checks the code a socket peer runs against one anchor, and caches verdicts,
// valid ones and refusals, by the executable's device, inode, size, mtime and
// ctime (never by path). A file changed within the last kRacySeconds is
// verified every time: a coarse timestamp could hide a rewrite made just
// after the check.
//
// A peer started with a library injected (LD_PRELOAD, LD_AUDIT,
// LD_LIBRARY_PATH), or with executable code mapped from a file that is
// neither its own image nor under the system's library directories, fails
// whatever its signature. An image above maxImageSize is refused before a
// byte of it is hashed, and at most `concurrentVerifications` images are
// hashed at once.
class PeerCodeChecker {
 public:
  static constexpr double kRacySeconds = 2.0;
  // Far above the largest program of the maker's (the helper, under 2 MiB).
  static constexpr off_t kMaxImageSize = 64 << 20;

  struct Options {
    VerifyOptions verify = VerifyOptions::forPeers();
    std::size_t cacheCapacity = 256;
    std::size_t refusalCapacity = 1024;
    off_t maxImageSize = kMaxImageSize;
    std::size_t concurrentVerifications = 2;
    // Runs between the verification and the liveness check (tests).
    std::function<void(const PeerProcess&)> beforeLivenessCheck;
  };

  explicit PeerCodeChecker(TrustAnchor anchor) : PeerCodeChecker(std::move(anchor), Options{}) {}
  PeerCodeChecker(TrustAnchor anchor, Options options)
      : anchor_(std::move(anchor)), options_(std::move(options)) {}

  // The peer must run as our own effective user, with nothing injected, its
  // running image must carry a valid signature under the anchor, and it must
  // still be alive once that is established. The error says why not.
  Result<SigningInfo> check(int socketFd);
  // The same for a process already pinned by a pidfd.
  Result<SigningInfo> checkProcess(const PeerProcess& peer);

  struct Stats {
    std::size_t verified = 0;  // full verifications
    std::size_t cacheHits = 0;
    std::size_t refusalHits = 0;  // refusals answered from the cache
    std::size_t oversized = 0;    // images refused unread
    std::size_t cached = 0;       // valid verdicts held now
    std::size_t refusals = 0;     // refusals held now
  };
  Stats stats() const;
  void clearCache();

 private:
  using Key = std::tuple<dev_t, ino_t, off_t, std::int64_t, std::int64_t>;
  static Key keyOf(const FileIdentity& id) {
    return {id.device, id.inode, id.size, id.mtimeNs, id.ctimeNs};
  }
  Result<SigningInfo> verifyImage(int imageFd, const FileIdentity& before);
  // The cached verdict of `key`, if any; with mu_ held.
  std::optional<Result<SigningInfo>> cachedLocked(const Key& key, const FileIdentity& id);

  TrustAnchor anchor_;
  Options options_;
  mutable std::mutex mu_;
  std::condition_variable slotFreed_;
  std::size_t verifying_ = 0;
  std::map<Key, SigningInfo> cache_;
  std::map<Key, Error> refusals_;
  Stats stats_;
};

// Refuses a process started with an injected library, or running code mapped
// from a file other than `image` and outside the system's library
// directories.
Status checkNothingInjected(const PeerProcess& peer, const FileIdentity& image);

}  // namespace zefra::codesign
