#include "codesign/bundle_seal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "base/unique_fd.h"
#include "codesign/big_endian.h"
#include "codesign/signature_block.h"
#include "platform/files/small_file.h"

namespace zefra::codesign {
namespace {

using platform::readSmallFile;
using platform::Symlinks;

namespace fs = std::filesystem;

constexpr std::size_t kMaxEntries = 100000;

bool isPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string::npos;
}

Result<SealEntry> sealFile(const fs::path& path, SealEntry entry) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
  if (!fd) return errnoError("cannot open " + path.string(), errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return errnoError("cannot inspect " + path.string(), errno);
  if (!S_ISREG(st.st_mode)) return Error{0, path.string() + " changed while it was sealed"};
  entry.mode = st.st_mode & 0755;
  auto hash = ossl::sha256OfFd(fd.get(), static_cast<std::uint64_t>(st.st_size));
  if (!hash) return hash.error();
  entry.hash = *hash;
  entry.carriesSignature = hasSignatureMagic(fd.get());
  return entry;
}

}  // namespace

Result<BundleLayout> readBundleLayout(const std::string& bundlePath) {
  std::error_code ec;
  if (!fs::is_directory(bundlePath, ec)) return Error{0, bundlePath + " is not a bundle directory"};
  std::string infoPath = bundlePath + "/Contents/Info.json";
  auto text = readSmallFile(infoPath, 1024 * 1024, Symlinks::kDontFollow);
  if (!text) return text.error();
  auto info = nlohmann::json::parse(*text, nullptr, false);
  if (info.is_discarded() || !info.is_object()) return Error{0, infoPath + " is not a JSON object"};
  auto executable = info.find("CFBundleExecutable");
  if (executable == info.end() || !executable->is_string() ||
      !isPlainFileName(executable->get<std::string>())) {
    return Error{0, infoPath + " names no valid CFBundleExecutable"};
  }
  BundleLayout layout;
  layout.root = bundlePath;
  layout.executableName = executable->get<std::string>();
  layout.executable = bundlePath + "/Contents/Linux/" + layout.executableName;
  struct stat st {};
  if (::lstat(layout.executable.c_str(), &st) != 0) {
    return errnoError("cannot find the main executable " + layout.executable, errno);
  }
  if (!S_ISREG(st.st_mode)) return Error{0, layout.executable + " is not a regular file"};
  return layout;
}

std::string encodeSeal(const std::vector<SealEntry>& entries) {
  std::string out = "ZEFRA-SEAL";
  putBig(out, 1, 2);
  putBig(out, entries.size(), 4);
  for (const SealEntry& entry : entries) {
    out += static_cast<char>(entry.type);
    putBig(out, entry.mode, 4);
    putBig(out, entry.path.size(), 4);
    out += entry.path;
    if (entry.type == SealEntry::Type::kFile) {
      out.append(reinterpret_cast<const char*>(entry.hash.data()), entry.hash.size());
    } else if (entry.type == SealEntry::Type::kSymlink) {
      putBig(out, entry.linkTarget.size(), 4);
      out += entry.linkTarget;
    }
  }
  return out;
}

Result<ResourceSeal> computeResourceSeal(const BundleLayout& layout) {
  const fs::path root(layout.root);
  const std::string mainRelative = "Contents/Linux/" + layout.executableName;
  std::error_code ec;
  fs::recursive_directory_iterator it(root, fs::directory_options::none, ec);
  if (ec) return Error{ec.value(), "cannot read bundle " + layout.root + ": " + ec.message()};

  ResourceSeal seal;
  for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const fs::path& path = it->path();
    SealEntry entry;
    entry.path = path.lexically_relative(root).generic_string();
    if (entry.path == mainRelative) continue;
    if (seal.entries.size() >= kMaxEntries) return Error{0, "bundle has too many entries"};

    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
      return errnoError("cannot inspect " + path.string(), errno);
    if (S_ISDIR(st.st_mode)) {
      entry.type = SealEntry::Type::kDirectory;
      entry.mode = st.st_mode & 0755;
    } else if (S_ISLNK(st.st_mode)) {
      entry.type = SealEntry::Type::kSymlink;
      entry.linkTarget = fs::read_symlink(path, ec).string();
      if (ec) return Error{ec.value(), "cannot read link " + path.string() + ": " + ec.message()};
    } else if (S_ISREG(st.st_mode)) {
      entry.type = SealEntry::Type::kFile;
      auto sealed = sealFile(path, std::move(entry));
      if (!sealed) return sealed.error();
      entry = std::move(*sealed);
    } else {
      return Error{0, path.string() + " is neither a file, a directory nor a symlink"};
    }
    seal.entries.push_back(std::move(entry));
  }
  if (ec) return Error{ec.value(), "cannot read bundle " + layout.root + ": " + ec.message()};

  std::sort(seal.entries.begin(), seal.entries.end(),
            [](const SealEntry& a, const SealEntry& b) { return a.path < b.path; });
  seal.digest = ossl::sha256(encodeSeal(seal.entries));
  return seal;
}

}  // namespace zefra::codesign
