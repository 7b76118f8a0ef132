#include "codesign/peer_code_checker.h"

#include <algorithm>
#include <array>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <string_view>
#include <tuple>
#include <vector>

#include "base/clock.h"
#include "codesign/code_file_systems.h"
#include "platform/dispatch/queue.h"
#include "platform/process/mount_table.h"
#include "platform/process/peer_process.h"
#include "platform/process/process_image.h"

namespace zefra::codesign {
namespace {

bool racy(const FileIdentity& id) {
  double changed = static_cast<double>(std::max(id.mtimeNs, id.ctimeNs)) / 1e9;
  return changed > base::now() - PeerCodeChecker::kRacySeconds;
}

// Only root writes here, so code mapped from these is the system's.
constexpr std::array<std::string_view, 7> kSystemLibraryDirs = {
    "/usr/lib/", "/lib/", "/usr/lib64/", "/lib64/", "/usr/lib32/", "/lib32/", "/usr/libexec/"};

// The path a mapping shows is the one the peer sees, and a peer in a mount
// namespace of its own may have put any file there: the mapping counts as a
// system library only if it is the very file found at that path here.
// `sameMounts`: the peer sees our mounts, so a path names one file for both.
bool systemLibrary(const platform::ExecutableMapping& mapping,
                   const std::function<bool()>& sameMounts) {
  const std::string_view path = mapping.path;
  if (path.ends_with(" (deleted)")) return false;
  if (std::none_of(kSystemLibraryDirs.begin(), kSystemLibraryDirs.end(),
                   [&](std::string_view dir) { return path.starts_with(dir); })) {
    return false;
  }
  // A file once found at its path stays the file it was: the answer is kept
  // (a library replaced since has another inode, and a mapping of the old
  // one reads " (deleted)"). Only a yes is kept; a no costs a stat again.
  using Seen = std::tuple<std::string, dev_t, ino_t>;
  static std::mutex mu;
  static std::set<Seen> seen;
  Seen key{mapping.path, mapping.device, mapping.inode};
  {
    std::lock_guard lock(mu);
    if (seen.contains(key)) return true;
  }
  auto here = platform::fileIdentity(mapping.path);
  if (!here || here->inode != mapping.inode) return false;
  if (here->device != mapping.device) {
    // Mappings show the file system's device, stat a btrfs subvolume's;
    // inode numbers repeat across subvolumes, so only the same path in the
    // same mounts names the same file, and the answer is not kept.
    if (!sameMounts()) return false;
    auto mounts = platform::ownMountInfo();
    if (!mounts) return false;
    auto mount = platform::mountOfPath(mapping.path, *mounts);
    return mount && *mount && (*mount)->device == mapping.device;
  }
  std::lock_guard lock(mu);
  if (seen.size() >= 1024) seen.clear();
  seen.insert(std::move(key));
  return true;
}

template <class Map, class Value>
void insertBounded(Map& map, std::size_t capacity, const typename Map::key_type& key, Value value) {
  if (map.size() >= capacity) map.erase(map.begin());
  map.insert_or_assign(key, std::move(value));
}

}  // namespace

Status checkNothingInjected(const PeerProcess& peer, const RunningImage& image,
                            const std::vector<platform::ExecutableMapping>& mappings) {
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
  std::optional<bool> shared;
  const auto sameMounts = [&] {
    if (!shared) {
      auto same = platform::sharesOurNamespace(peer, "mnt");
      shared = same && *same;
    }
    return *shared;
  };
  std::optional<std::string> imagePath;
  for (const platform::ExecutableMapping& mapping : mappings) {
    if (mapping.inode == image.file.inode) {
      if (mapping.device == image.file.device) continue;
      // Where the file system's device is not the file's (btrfs), inode
      // numbers repeat across subvolumes: the path must be the image's too,
      // in the mounts we see.
      if (mapping.device == image.mountDevice && sameMounts()) {
        if (!imagePath) {
          auto path = platform::runningImagePath(peer);
          imagePath = path ? *path : "";
        }
        if (mapping.path == *imagePath) continue;
      }
    }
    if (systemLibrary(mapping, sameMounts)) continue;
    return Error{0, "injected library: " + mapping.path};
  }
  return Ok{};
}

std::optional<PeerCodeChecker::Verdict> PeerCodeChecker::cachedLocked(const Key& key,
                                                                      const FileIdentity& id) {
  if (auto hit = cache_.find(key); hit != cache_.end()) {
    if (!racy(id)) {
      ++stats_.cacheHits;
      return Verdict(hit->second);
    }
    cache_.erase(hit);
  }
  if (auto hit = refusals_.find(key); hit != refusals_.end()) {
    ++stats_.refusalHits;
    return Verdict(hit->second);
  }
  return std::nullopt;
}

void PeerCodeChecker::rememberLocked(const Key& key, const FileIdentity& id,
                                     const Verdict& verdict) {
  // A refusal needs no settled timestamps (a rewrite changes the key); a
  // valid verdict does, to tell a later rewrite.
  if (!verdict) {
    insertBounded(refusals_, options_.refusalCapacity, key, verdict.error());
  } else if (!racy(id)) {
    insertBounded(cache_, options_.cacheCapacity, key, verdict.value());
  }
}

PeerCodeChecker::Verdict PeerCodeChecker::signatureOf(int imageFd) const {
  auto block = readSignatureBlock(imageFd);
  if (!block) return block.error();
  auto info = verifySignatureBlock(*block, anchor_, options_.verify);
  if (!info) return info;
  if (options_.requirement) {
    if (Status meets = options_.requirement(*info); !meets) return meets.error();
  }
  return info;
}

void PeerCodeChecker::checkProcess(std::shared_ptr<const PeerProcess> peer, VerdictHandler done) {
  Check check{std::move(peer), std::move(done), {}, {}, {}};
  const PeerProcess& process = *check.peer;
  if (!platform::runsAsOurUser(process)) {
    return check.done(Error{0, "the peer runs as another user"});
  }
  // Where the code lies is settled before its file is opened, and before a
  // cached verdict: that of a file says nothing of it served through FUSE.
  auto held = platform::holdRunningImage(process);
  if (!held) return check.done(held.error());
  // Read once for both looks at them.
  auto mappings = platform::executableMappings(process.pid);
  if (!mappings) return check.done(Error{0, "cannot read the peer's mappings"});
  auto imageDevice = checkCodeFileSystems(process, held->get(), *mappings);
  if (!imageDevice) return check.done(imageDevice.error());
  auto image = platform::openHeldFile(held->get());
  if (!image) return check.done(image.error());
  auto identity = platform::fileIdentity(image->get());
  if (!identity) return check.done(identity.error());
  check.image = std::move(image).value();
  check.identity = *identity;
  const Key key = keyOf(check.identity);
  std::optional<Verdict> known;
  {
    std::lock_guard lock(mu_);
    known = cachedLocked(key, check.identity);
    if (!known && check.identity.size > options_.maxImageSize) {
      ++stats_.oversized;
      known = refusal("image larger than " + std::to_string(options_.maxImageSize >> 20) + " MiB");
      rememberLocked(key, check.identity, *known);
    }
  }
  // A known refusal needs no look at the process: the cheapest answer to a
  // flood of the same unsigned program.
  if (known && !*known) return check.done(known->error());
  if (!known) {
    // The signature before anything else: a program that is not the team's
    // costs a parse and at most a CMS check, whatever its size or timestamps.
    Verdict claimed = signatureOf(check.image.get());
    if (!claimed) {
      auto after = platform::fileIdentity(check.image.get());
      {
        std::lock_guard lock(mu_);
        ++stats_.unhashed;
        if (after && *after == check.identity) rememberLocked(key, check.identity, claimed);
      }
      return check.done(claimed.error());
    }
    check.claimed = std::move(claimed).value();
  }
  if (Status clean = checkNothingInjected(process, {check.identity, *imageDevice}, *mappings);
      !clean) {
    return check.done(clean.error());
  }
  if (known) return finish(check, std::move(*known));
  {
    std::unique_lock lock(mu_);
    // Another check may have settled this image meanwhile.
    if ((known = cachedLocked(key, check.identity))) {
      lock.unlock();
      if (!*known) return check.done(known->error());
      return finish(check, std::move(*known));
    }
    if (verifying_ < options_.concurrentVerifications) {
      ++verifying_;
    } else if (waiting_.size() < options_.maxWaiting) {
      ++stats_.waited;
      waiting_.push_back(std::move(check));
      return;
    } else {
      lock.unlock();
      return check.done(Error{EAGAIN, "too many code checks waiting"});
    }
  }
  hashElsewhere(std::move(check));
}

void PeerCodeChecker::hashElsewhere(Check check) {
  // A thread of its own: the caller (an acceptance) is free for the next.
  auto held = std::make_shared<Check>(std::move(check));
  platform::globalQueue().async([this, held] { hashAndFinish(std::move(*held)); });
}

void PeerCodeChecker::hashAndFinish(Check check) {
  Verdict verdict = check.claimed;
  if (Status code = checkCode(check.image.get(), check.claimed); !code) verdict = code.error();
  auto after = platform::fileIdentity(check.image.get());
  std::vector<std::pair<Check, Verdict>> answered;
  std::vector<Check> next;
  {
    std::lock_guard lock(mu_);
    --verifying_;
    ++stats_.verified;
    // Only a file that stayed the same while it was read is remembered.
    if (after && *after == check.identity) rememberLocked(keyOf(check.identity), *after, verdict);
    // Pass the slot on: waiting checks of an image settled meanwhile are
    // answered from the cache, and the first that must hash takes the slot.
    while (!waiting_.empty() && verifying_ < options_.concurrentVerifications) {
      Check waiter = std::move(waiting_.front());
      waiting_.pop_front();
      if (auto cached = cachedLocked(keyOf(waiter.identity), waiter.identity)) {
        answered.emplace_back(std::move(waiter), std::move(*cached));
        continue;
      }
      ++verifying_;
      next.push_back(std::move(waiter));
    }
  }
  for (auto& waiter : next) hashElsewhere(std::move(waiter));
  for (auto& [waiter, cached] : answered) {
    if (!cached) {
      waiter.done(cached.error());
    } else {
      finish(waiter, std::move(cached));
    }
  }
  finish(check, std::move(verdict));
}

void PeerCodeChecker::finish(Check& check, Verdict verdict) {
  if (verdict) {
    if (options_.beforeLivenessCheck) options_.beforeLivenessCheck(*check.peer);
    if (!platform::stillRunning(*check.peer)) {
      verdict = Error{0, "the peer exited during the check"};
    }
  }
  check.done(std::move(verdict));
}

PeerCodeChecker::Verdict PeerCodeChecker::checkProcess(const PeerProcess& peer) {
  // The caller waits, so the peer outlives the check without being owned.
  auto verdict = std::make_shared<std::promise<Verdict>>();
  checkProcess(std::shared_ptr<const PeerProcess>(std::shared_ptr<void>(), &peer),
               [verdict](Verdict result) { verdict->set_value(std::move(result)); });
  return verdict->get_future().get();
}

PeerCodeChecker::Verdict PeerCodeChecker::check(int socketFd) {
  auto peer = platform::identifyPeer(socketFd);
  if (!peer) return peer.error();
  return checkProcess(*peer);
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
