#include "platform/process/landlock.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#ifndef SYS_landlock_create_ruleset
#define SYS_landlock_create_ruleset 444
#define SYS_landlock_add_rule 445
#endif

namespace zefra::platform {

namespace {

// Debian 12's headers know Landlock up to ABI 2; these are the kernel's.
constexpr std::uint32_t kCreateRulesetVersion = 1U << 0;
constexpr int kRulePathBeneath = 1;
constexpr std::uint64_t kWriteFile = 1ULL << 1;
constexpr std::uint64_t kRemoveDir = 1ULL << 4;
constexpr std::uint64_t kRemoveFile = 1ULL << 5;
constexpr std::uint64_t kMakeChar = 1ULL << 6;
constexpr std::uint64_t kMakeDir = 1ULL << 7;
constexpr std::uint64_t kMakeReg = 1ULL << 8;
constexpr std::uint64_t kMakeSock = 1ULL << 9;
constexpr std::uint64_t kMakeFifo = 1ULL << 10;
constexpr std::uint64_t kMakeBlock = 1ULL << 11;
constexpr std::uint64_t kMakeSym = 1ULL << 12;
constexpr std::uint64_t kRefer = 1ULL << 13;      // ABI 2
constexpr std::uint64_t kTruncate = 1ULL << 14;   // ABI 3
constexpr std::uint64_t kIoctlDev = 1ULL << 15;   // ABI 5
constexpr std::uint64_t kBindTcp = 1ULL << 0;     // ABI 4
constexpr std::uint64_t kConnectTcp = 1ULL << 1;  // ABI 4

struct RulesetAttr {
  std::uint64_t handledAccessFs = 0;
  std::uint64_t handledAccessNet = 0;
};

struct __attribute__((packed)) PathBeneathAttr {
  std::uint64_t allowedAccess;
  std::int32_t parentFd;
};

std::atomic<int> abiOverride{-1};

std::uint64_t writeRights(int abi) {
  std::uint64_t rights = kWriteFile | kRemoveDir | kRemoveFile | kMakeChar | kMakeDir | kMakeReg |
                         kMakeSock | kMakeFifo | kMakeBlock | kMakeSym;
  // Without REFER handled, ABI 1 forbids every rename or link across
  // folders, even within an allowed one.
  if (abi >= 2) rights |= kRefer;
  // `>` opens with O_TRUNC, which needs TRUNCATE once it is handled.
  if (abi >= 3) rights |= kTruncate;
  if (abi >= 5) rights |= kIoctlDev;
  return rights;
}

// `name` is for the error.
Status allowBeneath(int ruleset, int fd, const std::string& name, std::uint64_t rights) {
  PathBeneathAttr rule{rights, fd};
  if (::syscall(SYS_landlock_add_rule, ruleset, kRulePathBeneath, &rule, 0) != 0) {
    return errnoError("Could not allow writing to " + name, errno);
  }
  return Ok{};
}

Status allowBeneath(int ruleset, const std::string& path, std::uint64_t rights, int openFlags) {
  UniqueFd fd(::open(path.c_str(), O_PATH | O_CLOEXEC | openFlags));
  if (!fd) return errnoError("Could not open \u201c" + path + "\u201d", errno);
  return allowBeneath(ruleset, fd.get(), "\u201c" + path + "\u201d", rights);
}

}  // namespace

int landlockAbi() {
  const int forced = abiOverride.load();
  if (forced >= 0) return forced;
  static const int abi = [] {
    long version = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, kCreateRulesetVersion);
    return version > 0 ? static_cast<int>(version) : 0;
  }();
  return abi;
}

void overrideLandlockAbiForTesting(int abi) {
  abiOverride.store(abi);
}

Result<LandlockRuleset> makeLandlockRuleset(const ConfinementRules& rules) {
  const int abi = landlockAbi();
  if (abi == 0) {
    return Error{EOPNOTSUPP,
                 "This system's kernel does not offer Landlock, which confining a run needs"};
  }
  if (rules.noNetwork && abi < 4) {
    return Error{EOPNOTSUPP,
                 "This system's kernel cannot keep a run off the network (Landlock ABI " +
                     std::to_string(abi) + "; 4 is needed)"};
  }
  RulesetAttr attr;
  attr.handledAccessFs = writeRights(abi);
  if (rules.noNetwork) attr.handledAccessNet = kBindTcp | kConnectTcp;
  // The network field exists from ABI 4 on; older kernels take the first only.
  const std::size_t size = abi >= 4 ? sizeof attr : sizeof attr.handledAccessFs;
  UniqueFd ruleset(static_cast<int>(::syscall(SYS_landlock_create_ruleset, &attr, size, 0)));
  if (!ruleset) return errnoError("Could not create a Landlock ruleset", errno);
  for (const std::string& directory : rules.writableDirectories) {
    if (auto status = allowBeneath(ruleset.get(), directory, attr.handledAccessFs, O_DIRECTORY);
        !status) {
      return status.error();
    }
  }
  if (rules.privateDirectory >= 0) {
    if (auto status = allowBeneath(ruleset.get(), rules.privateDirectory,
                                   "the run's temporary folder", attr.handledAccessFs);
        !status) {
      return status.error();
    }
  }
  for (const char* device : kWritableDevices) {
    // O_TRUNC means nothing to a device, so writing is all there is.
    auto status = allowBeneath(ruleset.get(), device, kWriteFile, 0);
    // A system without one of them simply offers it to nobody.
    if (!status && status.error().code != ENOENT) return status.error();
  }
  return LandlockRuleset{std::move(ruleset), abi};
}

}  // namespace zefra::platform
