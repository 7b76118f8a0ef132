#include "update/install_update.h"

#include <cerrno>
#include <filesystem>
#include <utility>

#include "base/random.h"
#include "codesign/bundle_check.h"
#include "codesign/bundle_seal.h"
#include "codesign/requirement.h"
#include "platform/files/file_moves.h"
#include "platform/files/files.h"
#include "platform/files/quarantine.h"

namespace zefra::update {
namespace {

constexpr char kNotContained[] = "The update didn't contain Zefra Helper.app.";
constexpr char kSignatureFailed[] = "The update failed its signature check and was not installed.";

InstallOutcome no(std::string message) {
  return {false, std::move(message)};
}
InstallOutcome no(const char* prefix, const base::Error& error) {
  return {false, prefix + error.message};
}

std::string parentOf(const std::string& path) {
  return std::filesystem::path(path).parent_path().string();
}
std::string nameOf(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}

// Beyond the signature: the bundle is a folder of its own (a link would be
// installed as a link into staging), and its main executable can run, which
// the seal (it leaves the main executable out) does not promise.
bool verified(const std::string& bundle, const UpdateSettings& settings) {
  if (!platform::isRealDirectory(bundle)) return false;
  auto layout = codesign::readBundleLayout(bundle);
  if (!layout || !platform::isExecutableFile(layout->executable)) return false;
  auto requirement = codesign::parseRequirement(kUpdateRequirement);
  if (!requirement) return false;
  if (!settings.anchor) return codesign::verifyBundle(bundle, *requirement).ok();
  return codesign::verifyBundle(bundle, *requirement, *settings.anchor,
                                codesign::VerifyOptions::forUpdates())
      .ok();
}

constexpr char kAsideFailed[] = "Couldn't move the old Zefra Helper aside: ";
constexpr char kInstallFailed[] = "Couldn't install the new Zefra Helper: ";

// Exchanges the verified copy `beside` with the installed bundle and leaves
// the old copy at `backup`. On failure the installed bundle is as it was.
InstallOutcome swapIn(const std::string& beside, const std::string& installed,
                      const std::string& backup) {
  auto exchanged = platform::exchangeItems(beside, installed);
  if (exchanged) {
    // `beside` now holds the old copy.
    if (!platform::moveItem(beside, backup)) (void)platform::removeItem(beside);
    return {true, {}};
  }
  const int why = exchanged.error().code;
  if (why != EINVAL && why != ENOSYS) {
    (void)platform::removeItem(beside);
    return no(kAsideFailed, exchanged.error());
  }
  // No atomic exchange on this file system: two renames, with a roll-back.
  const std::string aside =
      parentOf(installed) + "/." + nameOf(installed) + ".replaced-" + base::randomUuid();
  if (auto movedAside = platform::moveItem(installed, aside); !movedAside) {
    (void)platform::removeItem(beside);
    return no(kAsideFailed, movedAside.error());
  }
  if (auto movedIn = platform::moveItem(beside, installed); !movedIn) {
    (void)platform::moveItem(aside, installed);
    (void)platform::removeItem(beside);
    return no(kInstallFailed, movedIn.error());
  }
  if (!platform::moveItem(aside, backup)) (void)platform::removeItem(aside);
  return {true, {}};
}

// Whatever the outcome, the staging folder goes: a refused archive may have
// unpacked hundreds of megabytes into it, and nobody comes back for them.
class StagingFolder {
 public:
  explicit StagingFolder(std::string path) : path_(std::move(path)) {}
  StagingFolder(const StagingFolder&) = delete;
  StagingFolder& operator=(const StagingFolder&) = delete;
  ~StagingFolder() { (void)platform::removeTree(path_); }

 private:
  const std::string path_;
};

}  // namespace

InstallOutcome installUpdateFromZip(const std::string& archivePath,
                                    const UpdateSettings& settings) {
  const std::string temporary = settings.temporaryDirectory.empty() ? platform::temporaryDirectory()
                                                                    : settings.temporaryDirectory;
  const std::string staging = temporary + "/self-update-" + base::randomUuid();
  if (auto created = platform::createDirectories(staging, 0700); !created) {
    return no("Couldn't stage the update: ", created.error());
  }
  const StagingFolder removedAtTheEnd(staging);

  if (auto unpacked = update::unpackZip(archivePath, staging, settings.unpackLimits); !unpacked) {
    if (unpacked.error().kind == base::ErrorKind::kUnavailable) {
      return no("Couldn't unpack the update.");
    }
    return no(kNotContained);
  }

  auto names = platform::listDirectory(staging);
  if (!names) return no(kNotContained);
  std::string found;
  for (const auto& name : *names) {
    if (std::filesystem::path(name).extension() == ".app") {
      found = staging + "/" + name;
      break;
    }
  }
  if (found.empty()) return no(kNotContained);

  if (!verified(found, settings)) return no(kSignatureFailed);

  (void)platform::clearQuarantine(found);

  if (!settings.runningFromBundle) {
    return no(kAsideFailed, base::Error{EINVAL,
                                        "The running Zefra Helper is not inside an application "
                                        "bundle (" +
                                            settings.bundlePath + ")"});
  }
  // A copy beside the installed bundle: the same file system, so the swap is
  // one rename, and fresh files that whoever can write to the staging folder
  // holds no handle on. The copy is what gets installed, so it is what is
  // checked last. Whatever keeps the copy from being written would have kept
  // the old copy from being moved out.
  const std::string beside = parentOf(settings.bundlePath) + "/." + nameOf(settings.bundlePath) +
                             ".update-" + base::randomUuid();
  if (auto copied = platform::copyItem(found, beside); !copied) {
    return no(kAsideFailed, copied.error());
  }
  if (!verified(beside, settings)) {
    (void)platform::removeItem(beside);
    return no(kSignatureFailed);
  }
  const std::string backup = temporary + "/Zefra Helper (replaced " + base::randomUuid() + ").app";
  if (auto swapped = swapIn(beside, settings.bundlePath, backup); !swapped.ok) return swapped;

  (void)platform::removeItem(backup);
  return {true, "Zefra Helper updated itself."};
}

}  // namespace zefra::update
