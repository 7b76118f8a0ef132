#include "platform/desktop/bundle.h"

#include <limits.h>
#include <unistd.h>

#include "base/no_destructor.h"
#include "platform/files/small_file.h"
#include "platform/process/proc_entries.h"

namespace zefra::platform {
namespace {

constexpr std::string_view kDeletedSuffix = " (deleted)";

std::string_view parentOf(std::string_view path) {
  auto slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string_view nameOf(std::string_view path) {
  auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string selfExecutablePath() {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink(ownProcPath("exe").c_str(), buffer, sizeof buffer);
  if (n <= 0) return {};
  std::string path(buffer, static_cast<std::size_t>(n));
  // The running file was replaced (an update): name where it lived.
  if (path.ends_with(kDeletedSuffix)) path.resize(path.size() - kDeletedSuffix.size());
  return path;
}

}  // namespace

nlohmann::json readInfoDictionary(const std::string& bundlePath) {
  auto text = readSmallFile(bundlePath + "/Contents/Info.json");
  auto info = nlohmann::json::parse(text ? text.value() : std::string(), nullptr,
                                    /*allow_exceptions=*/false);
  return info.is_object() ? info : nlohmann::json::object();
}

const Bundle& Bundle::main() {
  static base::NoDestructor<Bundle> bundle(atExecutablePath(selfExecutablePath()));
  return bundle.get();
}

Bundle Bundle::atExecutablePath(std::string executablePath) {
  Bundle bundle;
  std::string_view linuxDir = parentOf(executablePath);
  std::string_view contents = parentOf(linuxDir);
  std::string_view app = parentOf(contents);
  std::string_view appName = nameOf(app);
  bundle.isAppBundle_ = nameOf(linuxDir) == "Linux" && nameOf(contents) == "Contents" &&
                        appName.size() > 4 && appName.ends_with(".app");
  if (bundle.isAppBundle_) {
    bundle.bundlePath_ = app;
    bundle.info_ = readInfoDictionary(bundle.bundlePath_);
  } else {
    bundle.bundlePath_ = linuxDir;
  }
  bundle.executablePath_ = std::move(executablePath);
  return bundle;
}

std::optional<std::string> Bundle::stringForInfoKey(std::string_view key) const {
  auto it = info_.find(key);
  if (it == info_.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

std::string Bundle::resourcePath() const {
  return isAppBundle_ ? bundlePath_ + "/Contents/Resources" : bundlePath_;
}

}  // namespace zefra::platform
