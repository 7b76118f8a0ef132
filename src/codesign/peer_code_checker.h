#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <tuple>

#include "codesign/verify.h"
#include "platform/files.h"
#include "platform/peer_process.h"

namespace zefra::codesign {

using platform::FileIdentity;
using platform::PeerProcess;

// Checks the code a socket peer runs against one anchor, and caches valid
// verdicts by the executable's device, inode, size, mtime and ctime (never by
// path). A file changed within the last kRacySeconds is verified every time:
// a coarse timestamp could hide a rewrite made just after the check.
class PeerCodeChecker {
 public:
  static constexpr double kRacySeconds = 2.0;

  struct Options {
    VerifyOptions verify = VerifyOptions::forPeers();
    std::size_t cacheCapacity = 256;
    // Runs between the verification and the liveness check (tests).
    std::function<void(const PeerProcess&)> beforeLivenessCheck;
  };

  explicit PeerCodeChecker(TrustAnchor anchor) : PeerCodeChecker(std::move(anchor), Options{}) {}
  PeerCodeChecker(TrustAnchor anchor, Options options)
      : anchor_(std::move(anchor)), options_(std::move(options)) {}

  // The peer must run as our own effective user, its running image must
  // carry a valid signature under the anchor, and it must still be alive
  // once that is established.
  Result<SigningInfo> check(int socketFd);

  struct Stats {
    std::size_t verified = 0;  // full verifications
    std::size_t cacheHits = 0;
    std::size_t cached = 0;  // verdicts held now
  };
  Stats stats() const;
  void clearCache();

 private:
  using Key = std::tuple<dev_t, ino_t, off_t, std::int64_t, std::int64_t>;
  static Key keyOf(const FileIdentity& id) {
    return {id.device, id.inode, id.size, id.mtimeNs, id.ctimeNs};
  }
  Result<SigningInfo> verifyImage(int imageFd);

  TrustAnchor anchor_;
  Options options_;
  mutable std::mutex mu_;
  std::map<Key, SigningInfo> cache_;
  Stats stats_;
};

}  // namespace zefra::codesign
