#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <tuple>

#include "base/unique_fd.h"
#include "codesign/verify.h"
#include "platform/files/files.h"
#include "platform/process/peer_process.h"
#include "platform/process/process_image.h"

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
// neither its own image nor the very file found at that path under the
// system's library directories here, fails whatever its signature; so does
// one whose code lies on FUSE, or on a device its mounts do not list, and
// that before its image is opened (checkCodeFileSystems). The
// signature block, its CMS, chain and signer and the requirement are checked
// before a byte of code is hashed, so an unsigned or wrongly signed image
// costs no hash; an image above maxImageSize is refused unread. At most
// `concurrentVerifications` images are hashed at once; a check that waits
// for a slot holds no thread: it is queued, and whoever frees a slot passes
// it on.
class PeerCodeChecker {
 public:
  static constexpr double kRacySeconds = 2.0;
  // Far above the largest program of the maker's (the helper, under 2 MiB).
  static constexpr off_t kMaxImageSize = 64 << 20;

  using Verdict = Result<SigningInfo>;
  using VerdictHandler = std::function<void(Verdict)>;

  struct Options {
    VerifyOptions verify = VerifyOptions::forPeers();
    // What a valid signature must also say (a team, say); asked before the
    // code is hashed.
    std::function<Status(const SigningInfo&)> requirement;
    std::size_t cacheCapacity = 256;
    std::size_t refusalCapacity = 1024;
    off_t maxImageSize = kMaxImageSize;
    std::size_t concurrentVerifications = 2;
    // Checks queued for a hashing slot beyond this are refused.
    std::size_t maxWaiting = 1024;
    // Runs between the verification and the liveness check (tests).
    std::function<void(const PeerProcess&)> beforeLivenessCheck;
  };

  explicit PeerCodeChecker(TrustAnchor anchor) : PeerCodeChecker(std::move(anchor), Options{}) {}
  PeerCodeChecker(TrustAnchor anchor, Options options)
      : anchor_(std::move(anchor)), options_(std::move(options)) {}

  // The peer must run as our own effective user, with nothing injected, its
  // running image must carry a valid signature under the anchor that meets
  // the requirement, and it must still be alive once that is established.
  // `done` gets the verdict (the error says why not) exactly once: on this
  // thread when no hash is needed, else on the pool thread that hashed.
  void checkProcess(std::shared_ptr<const PeerProcess> peer, VerdictHandler done);
  // The same, waiting for the verdict.
  Verdict checkProcess(const PeerProcess& peer);
  // The connecting process of `socketFd`, waiting for the verdict.
  Verdict check(int socketFd);

  struct Stats {
    std::size_t verified = 0;  // images hashed
    std::size_t cacheHits = 0;
    std::size_t refusalHits = 0;  // refusals answered from the cache
    std::size_t oversized = 0;    // images refused unread
    std::size_t unhashed = 0;     // refused on the signature alone
    std::size_t waited = 0;       // checks that queued for a slot
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
  struct Check {
    std::shared_ptr<const PeerProcess> peer;
    VerdictHandler done;
    base::UniqueFd image;
    FileIdentity identity;
    SigningInfo claimed;  // what the signature says, before the code is hashed
  };
  // What the image's signature says, checked without hashing the code.
  Verdict signatureOf(int imageFd) const;
  // With a hashing slot taken, on a pool thread; passes the slot on when
  // done.
  void hashElsewhere(Check check);
  void hashAndFinish(Check check);
  // The liveness check of a valid verdict, then `done`; touches nothing of
  // the checker after `done`.
  void finish(Check& check, Verdict verdict);
  // The cached verdict of `key`, if any; with mu_ held.
  std::optional<Verdict> cachedLocked(const Key& key, const FileIdentity& id);
  // With mu_ held.
  void rememberLocked(const Key& key, const FileIdentity& id, const Verdict& verdict);

  TrustAnchor anchor_;
  Options options_;
  mutable std::mutex mu_;
  std::size_t verifying_ = 0;
  std::deque<Check> waiting_;
  std::map<Key, SigningInfo> cache_;
  std::map<Key, Error> refusals_;
  Stats stats_;
};

// The program a process runs: its file as stat names it, and the device of
// its file system as mappings name it (they differ on btrfs).
struct RunningImage {
  FileIdentity file;
  dev_t mountDevice = 0;
};
// Refuses a process started with an injected library, or running code mapped
// from a file other than `image` that is not the system library found at
// that path in this process's own view of the files.
Status checkNothingInjected(const PeerProcess& peer, const RunningImage& image,
                            const std::vector<platform::ExecutableMapping>& mappings);

}  // namespace zefra::codesign
