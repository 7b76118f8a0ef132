#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "base/result.h"
#include "base/unique_fd.h"
#include "platform/files/files.h"

namespace zefra::platform {

// A user-defaults domain kept in one JSON object file, shared by every
// process of the user. Values keep their JSON types.
//
// Writes are read-modify-write transactions under an exclusive flock on
// "<file>.lock": the file is read afresh, only the keys the transaction sets
// change, and the result replaces the file by an fsynced rename, so a crash
// leaves the old or the new file and concurrent writers of other keys lose
// nothing. A file that is not a JSON object reads as empty; the next write
// keeps it aside as "<file>.corrupt" and logs one line. The file and its lock
// are opened only as regular files and never wait on anything but another
// writer's lock (5 s at most); anything else at either path reads as empty,
// fails every write and is logged once per path. Thread-safe.
class UserDefaults {
 public:
  // Standard defaults of "com.ovak.zefra.helper"; the file is
  // standardPath() as the environment gives it at the first call.
  static UserDefaults& standard();
  // $XDG_CONFIG_HOME (when absolute, else ~/.config)
  // + "/com.ovak.zefra.helper/defaults.json".
  static std::string standardPath();

  explicit UserDefaults(std::string path);
  UserDefaults(const UserDefaults&) = delete;
  UserDefaults& operator=(const UserDefaults&) = delete;

  const std::string& path() const { return path_; }

  // The whole document as last written. Cheap while the file is unchanged:
  // the parse is cached by the file's identity.
  class Snapshot {
   public:
    // Always an object.
    const nlohmann::json& document() const { return *document_; }
    // Null when absent.
    const nlohmann::json* find(std::string_view key) const;
    // A copy; null when absent.
    nlohmann::json get(std::string_view key) const;

   private:
    friend class UserDefaults;
    explicit Snapshot(std::shared_ptr<const nlohmann::json> document)
        : document_(std::move(document)) {}
    std::shared_ptr<const nlohmann::json> document_;
  };
  Snapshot snapshot() const;
  // Nothing when absent or of another type.
  std::optional<std::string> stringForKey(std::string_view key) const;
  // 0 when absent or neither a number nor a bool.
  double doubleForKey(std::string_view key) const;

  // The document inside a write transaction, read afresh under the lock.
  class Document {
   public:
    // Null when absent.
    const nlohmann::json* find(std::string_view key) const;
    // A null value removes the key.
    void set(std::string_view key, nlohmann::json value);
    void remove(std::string_view key);

   private:
    friend class UserDefaults;
    explicit Document(nlohmann::json& document) : document_(document) {}
    nlohmann::json& document_;
    bool changed_ = false;
  };

  // Runs `change` under the file lock on the current document and writes
  // its changes to any number of keys, if any, in one replacement of the
  // file. An exception thrown by `change` cancels it and comes back as an
  // Error.
  Status update(const std::function<void(Document&)>& change);
  // Sets `key` to what `change` makes of its current value (null when
  // absent); a null result removes the key.
  Status update(std::string_view key,
                const std::function<nlohmann::json(const nlohmann::json* current)>& change);
  // A null value removes the key.
  Status setObject(std::string_view key, nlohmann::json value);
  Status removeObject(std::string_view key);

 private:
  struct Cached {
    UniqueFd pin;  // keeps the inode, so an equal identity is the same file
    FileIdentity identity;
    std::shared_ptr<const nlohmann::json> document;
  };

  Status updateUnlogged(const std::function<void(Document&)>& change);
  // True, having logged it once, when `error` says the file or its lock is
  // not a regular file.
  bool noteUnusable(const Error& error) const;
  Result<nlohmann::json> readLocked() const;
  Status writeLocked(nlohmann::json document);
  void remember(UniqueFd pin, const FileIdentity& identity,
                std::shared_ptr<const nlohmann::json> document) const;

  std::string path_;
  std::string directory_;
  mutable std::mutex cacheMu_;
  mutable Cached cached_;
  mutable std::set<std::string> notedUnusable_;  // cacheMu_
};

}  // namespace zefra::platform
