// The file primitives and the defaults file written with them: values,
// concurrent writers, and faults (links planted at the temporary path, a
// writer killed at random moments, something other than a file in its
// place, no room).
#include "platform/files/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <random>
#include <thread>

#include "platform/desktop/user_defaults.h"
#include "platform/files/atomic_file.h"
#include "platform/files/file_moves.h"
#include "platform/files/pipe_io.h"
#include "platform/files/quarantine.h"
#include "platform/files/small_file.h"
#include "platform/log.h"
#include "support/temp_dir.h"
#include "support/text.h"

namespace zefra::platform {
namespace {

using nlohmann::json;
using zefra::testing::fileText;
namespace fs = std::filesystem;

// A folder of the test's own, and where the defaults file goes in it.
class FilesTest : public ::testing::Test {
 protected:
  // What a fresh reader finds on disk.
  json onDisk() { return json::parse(fileText(path_)); }

  zefra::testing::TempDir dir_;
  const std::string path_ = dir_.path() + "/config/com.ovak.zefra.helper/defaults.json";
};
using UserDefaultsTest = FilesTest;

// What `work` returns, or nothing when it has not returned within `seconds`:
// it runs on a thread of its own, left behind then, so that a hang fails the
// test instead of hanging it.
template <class Work>
auto within(int seconds, Work work) -> std::optional<decltype(work())> {
  auto result = std::make_shared<std::promise<decltype(work())>>();
  auto returned = result->get_future();
  std::thread([result, work] { result->set_value(work()); }).detach();
  if (returned.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) return {};
  return returned.get();
}

// Which files count as programs is tool_service_test's: a link to one, a
// plain file and a folder are rows of ResolutionTest; modification times are
// the tool inventory's test; a replaced file's identity, the defaults cache's.
// Someone who can write the folder leaves links at the temporary path: they
// are replaced, never written through. (A write that fails is the defaults'
// full-disk test: the same writer.)
TEST_F(FilesTest, AtomicWriteReplacesTheTargetWholeOrNotAtAll) {
  const std::string target = dir_.path() + "/target", temporary = target + ".tmp";
  const std::string victim = dir_.path() + "/victim";
  for (const std::string what : {"symlink", "hard link", "dangling symlink"}) {
    const bool dangling = what == "dangling symlink";
    std::ofstream(target) << "old";
    std::ofstream(victim) << "the user's own words";
    what == "hard link" ? fs::create_hard_link(victim, temporary)
                        : fs::create_symlink(victim, temporary);
    if (dangling) fs::remove(victim);
    ASSERT_TRUE(writeFileAtomically(target, "new", 0600)) << what;
    EXPECT_EQ(fileText(target), "new") << what;
    // Untouched, or not created through the dangling link.
    EXPECT_EQ(fs::exists(victim) ? fileText(victim) : "gone",
              dangling ? "gone" : "the user's own words")
        << what;
  }
}

// Through the whole tree; a symlink is not followed, and attributes other
// than the download's origin stay.
TEST_F(FilesTest, QuarantineClearTakesOnlyTheOriginAttributes) {
  const std::string file = dir_.path() + "/file";
  std::ofstream(file) << "x";
  fs::create_symlink("file", dir_.path() + "/link");
  const std::pair<const char*, bool> names[] = {
      {"user.xdg.origin.url", false}, {"user.xdg.referrer.url", false}, {"user.keep", true}};
  for (const std::string& path : {dir_.path(), file}) {
    for (const auto& [name, kept] : names) {
      if (::setxattr(path.c_str(), name, "u", 1, 0) != 0) GTEST_SKIP() << "no user attributes";
    }
  }
  EXPECT_TRUE(clearQuarantine(dir_.path()));
  for (const std::string& path : {dir_.path(), file}) {
    for (const auto& [name, kept] : names) {
      EXPECT_EQ(::getxattr(path.c_str(), name, nullptr, 0) == 1, kept) << path << " " << name;
    }
  }
}

// A standard input that another program made non-blocking, empty for now, is
// waited on rather than taken for the end. (A full non-blocking output is
// end_to_end_test's AFullNonBlockingStandardOutputIsWaitedOn, through the
// client that writes it.)
TEST_F(FilesTest, PipeIoWaitsOnNonBlockingDescriptors) {
  Pipe pipe = makePipe().value();
  ASSERT_EQ(::fcntl(pipe.readEnd.get(), F_SETFL, O_NONBLOCK), 0);
  const std::string sent(1 << 20, 'x');  // far more than a pipe holds
  auto received = std::async(std::launch::async, [&] { return readToEnd(pipe.readEnd.get()); });
  EXPECT_TRUE(writeAll(pipe.writeEnd.get(), sent));
  pipe.writeEnd.reset();
  EXPECT_EQ(received.get().value(), sent);
}

// A FIFO where a small file was expected (an Info.json that a program of the
// user put there) is refused at once rather than waited on.
TEST_F(FilesTest, ASmallFileReadNeverWaitsOnAFifo) {
  const std::string fifo = dir_.path() + "/Info.json";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(within(30, [fifo] { return static_cast<bool>(readSmallFile(fifo)); }), false);
}

// Another program of the user swaps what a copy is taking, as it runs: a file
// with a FIFO, a folder with a link out of the tree. The copy never waits on
// the FIFO nor copies through the link.
TEST_F(FilesTest, ACopyRacedWithSwapsNeitherWaitsNorFollows) {
  const std::string root = dir_.path() + "/", from = root + "from";
  fs::create_directories(from + "/folder");
  fs::create_directories(root + "outside");
  std::ofstream(from + "/file") << "x";
  // Listed in the real folder or the link's, then looked up through the link.
  std::ofstream(from + "/folder/inner") << "x";
  std::ofstream(root + "outside/inner") << "s";
  fs::create_directory_symlink(root + "outside", root + "link");
  ASSERT_EQ(::mkfifo((root + "fifo").c_str(), 0600), 0);
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    const std::string file = from + "/file", folder = from + "/folder";
    while (!stop) {
      ::renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, (root + "fifo").c_str(), RENAME_EXCHANGE);
      ::renameat2(AT_FDCWD, folder.c_str(), AT_FDCWD, (root + "link").c_str(), RENAME_EXCHANGE);
    }
  });
  const auto followed = within(60, [root, from] {
    int followed = 0;
    for (int i = 0; i < 300; ++i) {
      const std::string to = root + "to" + std::to_string(i);
      (void)copyItem(from, to);
      // A link copied as a link is right; the link's folder copied is not.
      followed += fs::is_directory(fs::symlink_status(to + "/folder")) &&
                  fileText(to + "/folder/inner") == "s";
    }
    return followed;
  });
  stop = true;
  swapper.join();
  EXPECT_EQ(followed, 0);
}

// A confined tool can nest folders in its temporary folder far deeper than a
// stack frame per level allows: x becomes t/a, t becomes x, over and over.
TEST_F(FilesTest, RemoveTreeTakesATreeDeeperThanAnyStack) {
  // In memory: on a disk, its journal makes this take minutes.
  if (!fs::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm";
  zefra::testing::TempDir dir("/dev/shm");
  base::UniqueFd fd(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_EQ(::mkdirat(fd.get(), "x", 0700), 0);
  for (int level = 0; level < 100'000; ++level) {
    ASSERT_EQ(::mkdirat(fd.get(), "t", 0700), 0);
    ASSERT_EQ(::renameat(fd.get(), "x", fd.get(), "t/a"), 0);
    ASSERT_EQ(::renameat(fd.get(), "t", fd.get(), "x"), 0);
  }
  EXPECT_TRUE(removeTree(dir.path()));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir.path())));
}

TEST_F(UserDefaultsTest, ValuesRoundTripPrivatelyAndReplacementsAreNoticed) {
  UserDefaults defaults(path_);
  const json values = {{"Time", 1733467012.123456789},
                       {"Paths", {{"typst", ""}, {"pandoc", "/bin/pandoc"}}},
                       {"Flag", true}};
  for (auto& [key, value] : values.items()) ASSERT_TRUE(defaults.setObject(key, value));
  UserDefaults other(path_);
  EXPECT_EQ(other.snapshot().document(), values);
  ASSERT_TRUE(other.removeObject("Paths"));
  ASSERT_TRUE(other.setObject("Flag", nullptr));
  EXPECT_EQ(onDisk(), (json{{"Time", values["Time"]}}));
  EXPECT_EQ(fs::status(fs::path(path_).parent_path()).permissions(), fs::perms::owner_all);
  EXPECT_EQ(fs::status(path_).permissions(), fs::perms::owner_read | fs::perms::owner_write);

  // The cache must notice each same-sized replacement by another writer.
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(other.setObject("Key", "v" + std::to_string(i % 10)));
    ASSERT_EQ(defaults.snapshot().get("Key"), "v" + std::to_string(i % 10)) << "write " << i;
  }
}

// Nested a million deep, writing it back would overflow the stack; 2 MiB
// would be read whole at every launch.
TEST_F(UserDefaultsTest, UnreadableFileReadsEmptyAndIsKeptAsideByTheNextWrite) {
  const std::string deep =
      "{\"Key\": " + std::string(1'000'000, '[') + std::string(1'000'000, ']') + "}";
  const std::string large = "{\"Key\": \"" + std::string(2 << 20, 'x') + "\"}";
  for (const std::string& bad :
       {std::string("{\"Key\": tru"), std::string("[1, 2]"), deep, large}) {
    fs::create_directories(fs::path(path_).parent_path());
    std::ofstream(path_) << bad;
    UserDefaults defaults(path_);
    EXPECT_TRUE(defaults.snapshot().document().empty()) << bad.substr(0, 20);

    ScopedLogCapture log;
    ASSERT_TRUE(defaults.setObject("New", 1));
    EXPECT_TRUE(fileText(path_ + ".corrupt") == bad) << bad.substr(0, 20);
    EXPECT_EQ(onDisk(), (json{{"New", 1}}));
    EXPECT_EQ(log.lines().size(), 1u);
  }
}

TEST_F(UserDefaultsTest, TwoProcessesWritingDifferentKeysLoseNothing) {
  // Each write also counts itself under a shared key, in the same transaction.
  std::vector<pid_t> children;
  for (const char* name : {"first", "second"}) {
    children.push_back(fork());
    if (children.back() == 0) {
      UserDefaults defaults(path_);
      for (int i = 0; i < 1000; ++i) {
        auto status = defaults.update([&](UserDefaults::Document& document) {
          document.set(name + std::to_string(i), i);
          const json* count = document.find("Count");
          document.set("Count", count ? count->get<int>() + 1 : 1);
        });
        if (!status) _exit(1);
      }
      _exit(0);
    }
  }
  // Meanwhile a reader never sees a transaction half done.
  UserDefaults reader(path_);
  int torn = 0;
  for (std::size_t ended = 0; ended < children.size();) {
    auto shot = reader.snapshot();
    const json& document = shot.document();
    torn += !document.empty() && document.size() != document.value("Count", 0) + 1u;
    int status = -1;
    if (waitpid(children[ended], &status, WNOHANG) == children[ended]) {
      EXPECT_EQ(status, 0);
      ++ended;
    }
  }
  EXPECT_EQ(torn, 0);
  json expected = {{"Count", 2000}};
  for (int i = 0; i < 1000; ++i)
    expected["first" + std::to_string(i)] = expected["second" + std::to_string(i)] = i;
  EXPECT_TRUE(onDisk() == expected);
}

// Others taking turns back to back for longer than the lock's patience: the
// lock never looks free, but the file keeps changing. That is progress, and
// a writer waiting on it is not given up.
TEST_F(UserDefaultsTest, AWriterOutwaitsOthersTakingTurnsPastItsPatience) {
  ASSERT_TRUE(UserDefaults(path_).update([](UserDefaults::Document& d) { d.set("Turn", 0); }));
  base::UniqueFd turns(::open((path_ + ".lock").c_str(), O_RDWR | O_CLOEXEC));
  ASSERT_EQ(::flock(turns.get(), LOCK_EX), 0);
  auto waiter = std::async(std::launch::async, [&] {
    return UserDefaults(path_).update([](UserDefaults::Document& d) { d.set("Waited", true); });
  });
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(6);
  for (int turn = 1; std::chrono::steady_clock::now() < until; ++turn)
    ASSERT_TRUE(writeFileAtomically(path_, json{{"Turn", turn}}.dump(), 0600));
  turns.reset();
  EXPECT_TRUE(waiter.get());
  EXPECT_EQ(onDisk().value("Waited", false), true);
}

// Large enough that a write takes a while, so kills land inside writes too.
std::string filler(int round) {
  return std::string(64 * 1024, static_cast<char>('a' + round % 26));
}

TEST_F(UserDefaultsTest, WriterKilledAtRandomMomentsLeavesTheOldOrTheNewFile) {
  ASSERT_TRUE(UserDefaults(path_).update([](UserDefaults::Document& document) {
    document.set("Round", 0);
    document.set("Filler", filler(0));
  }));
  int round = 0;
  for (unsigned trial = 0; trial < 200; ++trial) {
    auto report = makePipe().value();
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      UserDefaults defaults(path_);
      if (write(report.writeEnd.get(), "r", 1) != 1) _exit(1);
      for (int n = round + 1;; ++n) {
        auto status = defaults.update([n](UserDefaults::Document& document) {
          document.set("Round", n);
          document.set("Filler", filler(n));
        });
        if (!status || write(report.writeEnd.get(), "w", 1) != 1) _exit(1);
      }
    }
    report.writeEnd.reset();
    char byte = 0;
    ASSERT_EQ(read(report.readEnd.get(), &byte, 1), 1);
    // The moment is the seed's; where in a write it lands is the machine's.
    std::mt19937 random(trial);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 6000));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer failed in trial " << trial;
    int completed = 0;
    while (read(report.readEnd.get(), &byte, 1) == 1) ++completed;

    json document = json::parse(fileText(path_), nullptr, /*allow_exceptions=*/false);
    ASSERT_TRUE(document.is_object()) << "torn file after trial " << trial;
    const int found = document.value("Round", -1);
    // The last write that finished, or the one the kill interrupted.
    ASSERT_TRUE(found == round + completed || found == round + completed + 1)
        << "trial " << trial << ": round " << found << " after " << completed << " writes from "
        << round;
    ASSERT_EQ(document.value("Filler", ""), filler(found)) << "trial " << trial;
    round = found;
  }
}

// Something other than a regular file where the file or its lock belongs
// (another program of the user put it there): reading and writing give up at
// once instead of reading a device without end or writing through a link,
// and the log says so once.
TEST(DefaultsFaultTest, WhatIsNoRegularFileIsNeitherWaitedOnNorUsed) {
  // What a link leads to, or a folder where there is none: each is a way of
  // its own to refuse a file. A lock opened through the link to the defaults
  // file itself would truncate it.
  const std::tuple<const char*, const char*, const char*> rows[] = {
      {"a link to a device", "", "/dev/zero"},
      {"a link to a FIFO", "", "fifo"},
      {"a folder", "", nullptr},
      {"a folder", ".lock", nullptr},
      {"a link to a file", ".lock", "defaults.json"},
  };
  for (const auto& [what, suffix, linkTo] : rows) {
    SCOPED_TRACE(std::string(what) + " at defaults.json" + suffix);
    zefra::testing::TempDir dir;
    const std::string path = dir.path() + "/defaults.json";
    ASSERT_EQ(::mkfifo((dir.path() + "/fifo").c_str(), 0600), 0);
    if (*suffix) std::ofstream(path) << R"({"Kept": "old value"})";
    linkTo ? fs::create_symlink(linkTo, path + suffix) : (void)fs::create_directory(path + suffix);
    ScopedLogCapture capture;
    const auto attempts = within(30, [path] {
      UserDefaults defaults(path);
      std::vector<bool> outcomes;
      for (int i = 0; i < 2; ++i) {
        outcomes.push_back(defaults.snapshot().document().empty());
        outcomes.push_back(!defaults.setObject("New", 1));
      }
      return outcomes;
    });
    const bool fileAtFault = *suffix == '\0';
    EXPECT_EQ(attempts, (std::vector<bool>{fileAtFault, true, fileAtFault, true}));
    EXPECT_EQ(capture.lines().size(), 1u);
    if (!fileAtFault) {
      EXPECT_EQ(fileText(path), R"({"Kept": "old value"})");
    }
  }
}

// A write that finds no room (a file-size limit, EFBIG, stands in for a
// full disk's ENOSPC so that it runs everywhere) keeps the old file, logs one
// line, and the next write with room succeeds.
TEST_F(UserDefaultsTest, FailedWriteKeepsTheOldFileAndLogsOneLine) {
  UserDefaults defaults(path_);
  ASSERT_TRUE(defaults.setObject("Kept", "old value"));
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  signal(SIGXFSZ, SIG_IGN);
  const rlimit small{.rlim_cur = 4096, .rlim_max = saved.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  ScopedLogCapture capture;
  auto status = defaults.setObject("Kept", std::string(8 * 1024, 'n'));
  setrlimit(RLIMIT_FSIZE, &saved);
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().code, EFBIG) << status.error().message;
  // On disk, as a fresh reader finds it, and in the writer's cache.
  EXPECT_EQ(UserDefaults(path_).stringForKey("Kept"), "old value");
  EXPECT_EQ(defaults.stringForKey("Kept"), "old value");
  EXPECT_FALSE(fs::exists(path_ + ".tmp"));

  // One line in all: the failure's, none for the write that then succeeds.
  EXPECT_TRUE(defaults.setObject("Kept", "new value"));
  EXPECT_EQ(UserDefaults(path_).stringForKey("Kept"), "new value");
  EXPECT_EQ(capture.lines().size(), 1u);
}

}  // namespace
}  // namespace zefra::platform
