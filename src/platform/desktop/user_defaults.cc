#include "platform/desktop/user_defaults.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <thread>

#include "base/deadline.h"
#include "base/eintr.h"
#include "base/no_destructor.h"
#include "platform/files/atomic_file.h"
#include "platform/files/file_moves.h"
#include "platform/files/pipe_io.h"
#include "platform/log.h"
#include "platform/user_info.h"

namespace zefra::platform {
namespace {

using nlohmann::json;

constexpr std::string_view kDomain = "com.ovak.zefra.helper";

std::shared_ptr<const json> emptyDocument() {
  static base::NoDestructor<std::shared_ptr<const json>> empty(
      std::make_shared<const json>(json::object()));
  return empty.get();
}

std::string parentDirectory(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool blank(std::string_view text) {
  return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

// Settings and a cache of eleven tools' versions: a file far past that was
// not written by us, and is not read whole at every launch.
constexpr std::size_t kLargestFile = 1 << 20;
// Writing a document back walks it recursively; no setting nests deeper.
constexpr int kDeepestNesting = 32;

// Nothing when the text is not a JSON object; blank text is an empty one.
std::optional<json> parseDocument(std::string_view text) {
  if (blank(text)) return json::object();
  bool tooDeep = false;
  json document = json::parse(
      text,
      [&tooDeep](int depth, json::parse_event_t, json&) {
        tooDeep = tooDeep || depth > kDeepestNesting;
        return !tooDeep;
      },
      /*allow_exceptions=*/false);
  if (tooDeep || !document.is_object()) return std::nullopt;
  return document;
}

// Other writers hold the lock for a write and an fsync; one that holds it
// for longer is not waited for without end. Writers that take turns faster
// than the retries here change the file as they go: that is progress, and
// the patience starts again, within a bound: one that holds it for ever
// while changing the file costs a write, not a thread.
constexpr double kLockPatience = 5.0;
constexpr double kLongestLockWait = 30.0;

Status lockExclusively(int fd, const std::string& path, const std::string& guarded) {
  const auto identity = [&]() -> std::optional<FileIdentity> {
    auto read = fileIdentity(guarded);
    return read ? std::optional(read.value()) : std::nullopt;
  };
  const base::Deadline longest = base::Deadline::after(kLongestLockWait);
  base::Deadline deadline = base::Deadline::after(kLockPatience);
  auto seen = identity();
  for (auto pause = std::chrono::milliseconds(1);; pause = std::min(pause * 2, pause.max())) {
    if (base::retryOnEintr([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) == 0) return Ok{};
    if (errno != EWOULDBLOCK) return errnoError("flock " + path, errno);
    if (auto now = identity(); now != seen && !longest.passed()) {
      seen = now;
      deadline = base::Deadline::after(kLockPatience);
    } else if (deadline.passed()) {
      return Error{ETIMEDOUT, path + " stayed locked by another process for " +
                                  std::to_string(static_cast<int>(kLockPatience)) + " s"};
    }
    std::this_thread::sleep_for(std::min(pause, std::chrono::milliseconds(50)));
  }
}

}  // namespace

UserDefaults& UserDefaults::standard() {
  static base::NoDestructor<UserDefaults> defaults(standardPath());
  return defaults.get();
}

std::string UserDefaults::standardPath() {
  std::string base;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && config[0] == '/') {
    base = config;
  } else {
    base = homeDirectory();
    if (!base.ends_with('/')) base += '/';
    base += ".config";
  }
  while (base.size() > 1 && base.ends_with('/')) base.pop_back();
  return base + "/" + std::string(kDomain) + "/defaults.json";
}

UserDefaults::UserDefaults(std::string path)
    : path_(std::move(path)), directory_(parentDirectory(path_)) {}

void UserDefaults::remember(UniqueFd pin, const FileIdentity& identity,
                            std::shared_ptr<const json> document) const {
  std::lock_guard lock(cacheMu_);
  cached_ = Cached{std::move(pin), identity, std::move(document)};
}

const json* UserDefaults::Snapshot::find(std::string_view key) const {
  auto it = document_->find(key);
  return it == document_->end() ? nullptr : &*it;
}

json UserDefaults::Snapshot::get(std::string_view key) const {
  const json* value = find(key);
  return value ? *value : json();
}

UserDefaults::Snapshot UserDefaults::snapshot() const {
  struct stat st;
  if (::lstat(path_.c_str(), &st) != 0) return Snapshot(emptyDocument());
  {
    std::lock_guard lock(cacheMu_);
    if (cached_.pin && cached_.identity == FileIdentity::of(st)) return Snapshot(cached_.document);
  }
  auto fd = openRegularFile(path_, O_RDONLY);
  if (!fd) {
    noteUnusable(fd.error());
    return Snapshot(emptyDocument());
  }
  auto identity = fileIdentity(fd->get());
  auto text = readToEnd(fd->get(), kLargestFile);
  if (!identity || !text) return Snapshot(emptyDocument());
  auto parsed = parseDocument(*text);
  auto document = parsed ? std::make_shared<const json>(std::move(*parsed)) : emptyDocument();
  remember(std::move(*fd), *identity, document);
  return Snapshot(std::move(document));
}

// A FIFO, a device, a folder or a symlink where the file or its lock should
// be is someone else's doing: the defaults then read as empty and are not
// written, and the log says so once, not at every read.
bool UserDefaults::noteUnusable(const Error& error) const {
  if (error.code != kNotRegularFile) return false;
  {
    std::lock_guard lock(cacheMu_);
    if (!notedUnusable_.insert(error.message).second) return true;
  }
  log(error.message + ", so the user defaults cannot use it; it is left as it is");
  return true;
}

std::optional<std::string> UserDefaults::stringForKey(std::string_view key) const {
  auto shot = snapshot();
  const json* value = shot.find(key);
  if (value == nullptr || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

double UserDefaults::doubleForKey(std::string_view key) const {
  auto shot = snapshot();
  const json* value = shot.find(key);
  if (value == nullptr) return 0;
  if (value->is_number()) return value->get<double>();
  if (value->is_boolean()) return value->get<bool>() ? 1 : 0;
  return 0;
}

const json* UserDefaults::Document::find(std::string_view key) const {
  auto it = document_.find(key);
  return it == document_.end() ? nullptr : &*it;
}

void UserDefaults::Document::set(std::string_view key, json value) {
  if (value.is_null()) return remove(key);
  auto it = document_.find(key);
  if (it != document_.end() && it->type() == value.type() && *it == value) return;
  document_[std::string(key)] = std::move(value);
  changed_ = true;
}

void UserDefaults::Document::remove(std::string_view key) {
  auto it = document_.find(key);
  if (it == document_.end()) return;
  document_.erase(it);
  changed_ = true;
}

// With the lock held. A file that is not a JSON object is moved aside so that
// the write that follows does not destroy what someone may want back.
Result<json> UserDefaults::readLocked() const {
  auto fd = openRegularFile(path_, O_RDONLY);
  if (!fd) {
    if (fd.error().code == ENOENT) return json::object();
    return fd.error();
  }
  auto text = readToEnd(fd->get(), kLargestFile);
  if (!text && text.error().code != EFBIG) {
    return Error{text.error().code, path_ + ": " + text.error().message};
  }
  if (text) {
    if (auto document = parseDocument(*text)) return std::move(*document);
  }
  std::string aside = path_ + ".corrupt";
  if (::rename(path_.c_str(), aside.c_str()) == 0) {
    log("The user defaults file " + path_ + " could not be read; it was kept as " + aside);
  } else {
    int err = errno;
    log(errnoError("The user defaults file " + path_ + " could not be read nor kept as " + aside,
                   err)
            .message);
  }
  return json::object();
}

Status UserDefaults::writeLocked(json document) {
  std::string text = document.dump(2, ' ', false, json::error_handler_t::replace);
  text += '\n';
  auto file = AtomicFile::create(path_, 0600);
  if (!file) return file.error();
  if (auto written = file->write(text); !written) return written;
  if (auto committed = file->commit(); !committed) return committed;
  // Identity after the rename, which changes the ctime.
  UniqueFd fd = file->releaseFd();
  if (auto identity = fileIdentity(fd.get())) {
    remember(std::move(fd), *identity, std::make_shared<const json>(std::move(document)));
  }
  return Ok{};
}

Status UserDefaults::update(const std::function<void(Document&)>& change) {
  auto status = updateUnlogged(change);
  // Callers go on with their work; the log is where a lost write shows.
  if (!status && !noteUnusable(status.error())) {
    log("The user defaults file " + path_ + " could not be written (" + status.error().message +
        "); it keeps its previous contents");
  }
  return status;
}

Status UserDefaults::updateUnlogged(const std::function<void(Document&)>& change) {
  if (auto status = createDirectories(directory_, 0700); !status) return status;
  std::string lockPath = path_ + ".lock";
  auto lock = openRegularFile(lockPath, O_RDWR | O_CREAT);
  if (!lock) return lock.error();
  if (auto locked = lockExclusively(lock->get(), lockPath, path_); !locked) return locked;
  auto document = readLocked();
  if (!document) return document.error();
  Document changed(*document);
  try {
    change(changed);
  } catch (const std::exception& e) {
    return Error{0, std::string("user defaults update failed: ") + e.what()};
  }
  if (!changed.changed_) return Ok{};
  return writeLocked(std::move(*document));
}

Status UserDefaults::update(std::string_view key,
                            const std::function<json(const json* current)>& change) {
  return update([&](Document& document) { document.set(key, change(document.find(key))); });
}

Status UserDefaults::setObject(std::string_view key, json value) {
  return update([&](Document& document) { document.set(key, std::move(value)); });
}

Status UserDefaults::removeObject(std::string_view key) {
  return update([&](Document& document) { document.remove(key); });
}

}  // namespace zefra::platform
