#include "update/update_archive.h"

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "codesign/signing.h"
#include "platform/desktop/bundle.h"
#include "platform/files/file_moves.h"
#include "update/zip_archive.h"

namespace zefra::update {
namespace {

base::Status reversion(const std::string& bundle, const UpdateArchiveOptions& options) {
  if (!options.version && !options.shortVersion) return base::Ok{};
  const std::string infoPath = bundle + "/Contents/Info.json";
  auto info = platform::readInfoDictionary(bundle);
  if (info.empty()) return base::Error{EINVAL, "No Info dictionary in " + infoPath};
  if (options.version) info["CFBundleVersion"] = *options.version;
  if (options.shortVersion) info["CFBundleShortVersionString"] = *options.shortVersion;
  std::ofstream out(infoPath, std::ios::trunc);
  out << info.dump(2) << "\n";
  out.close();
  if (!out) return base::Error{EIO, "Cannot write " + infoPath};
  return base::Ok{};
}

base::Status build(const std::string& work, const UpdateArchiveOptions& options) {
  std::string name = options.nameInArchive;
  if (name.empty()) name = std::filesystem::path(options.bundlePath).filename().string();
  const std::string copy = work + "/" + name;
  if (auto copied = platform::copyItem(options.bundlePath, copy); !copied) return copied;
  if (auto changed = reversion(copy, options); !changed) return changed;
  auto identity = codesign::SigningIdentity::load(options.keyPath, options.chainPath);
  if (!identity) return identity.error();
  if (auto signedBundle = codesign::signBundle(copy, *identity, options.identifier);
      !signedBundle) {
    return signedBundle;
  }
  const std::string partial = options.archivePath + ".partial";
  (void)platform::removeItem(partial);
  auto zip = update::ZipWriter::create(partial);
  if (!zip) return zip.error();
  base::Status written = zip->addTree(name, copy);
  if (written) written = zip->finish();
  if (written) {
    (void)platform::removeItem(options.archivePath);
    written = platform::moveItem(partial, options.archivePath);
  }
  if (!written) (void)platform::removeItem(partial);
  return written;
}

}  // namespace

base::Status makeUpdateArchive(const UpdateArchiveOptions& options) {
  auto work = platform::makeTemporaryDirectory("zefra-update-");
  if (!work) return work.error();
  auto made = build(*work, options);
  (void)platform::removeItem(*work);
  return made;
}

}  // namespace zefra::update
