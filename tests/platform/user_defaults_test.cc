#include "platform/user_defaults.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/log.h"
#include "platform/unique_fd.h"

namespace zefra::platform {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

class UserDefaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "defaults-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    path_ = root_ + "/config/com.ovak.zefra.helper/defaults.json";
  }
  void TearDown() override { fs::remove_all(root_); }

  static std::string contents(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  void writeFile(const std::string& text) {
    fs::create_directories(fs::path(path_).parent_path());
    std::ofstream(path_) << text;
  }
  // What a fresh reader finds on disk.
  json onDisk() { return json::parse(contents(path_)); }

  std::string root_;
  std::string path_;
};

TEST_F(UserDefaultsTest, TypedValuesRoundTrip) {
  UserDefaults defaults(path_);
  EXPECT_TRUE(defaults.snapshot().document().empty());
  const double time = 1733467012.123456789;
  ASSERT_TRUE(defaults.setObject("Text", "/usr/bin/typst"));
  ASSERT_TRUE(defaults.setObject("Time", time));
  ASSERT_TRUE(defaults.setObject("Flag", true));
  ASSERT_TRUE(defaults.setObject("Paths", json{{"typst", ""}, {"pandoc", "/bin/pandoc"}}));
  ASSERT_TRUE(defaults.setObject("List", json::array({1, "two"})));

  UserDefaults other(path_);
  EXPECT_EQ(other.stringForKey("Text"), "/usr/bin/typst");
  EXPECT_EQ(other.doubleForKey("Time"), time);
  EXPECT_EQ(other.objectForKey("Flag"), json(true));
  EXPECT_EQ(other.dictionaryForKey("Paths"), (json{{"typst", ""}, {"pandoc", "/bin/pandoc"}}));
  EXPECT_EQ(other.arrayForKey("List"), json::array({1, "two"}));
  // Typed getters answer nothing for another type.
  EXPECT_EQ(other.stringForKey("Time"), std::nullopt);
  EXPECT_EQ(other.dictionaryForKey("Text"), std::nullopt);
  EXPECT_EQ(other.arrayForKey("Paths"), std::nullopt);
  EXPECT_EQ(other.doubleForKey("Text"), 0.0);
  EXPECT_EQ(other.doubleForKey("Missing"), 0.0);

  ASSERT_TRUE(other.removeObject("Text"));
  ASSERT_TRUE(other.setObject("Flag", nullptr));
  EXPECT_EQ(defaults.objectForKey("Text"), std::nullopt);
  EXPECT_FALSE(onDisk().contains("Flag"));

  struct stat st;
  ASSERT_EQ(::stat(fs::path(path_).parent_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(UserDefaultsTest, CachedReadsSeeEveryWriteOfAnotherWriter) {
  UserDefaults reader(path_);
  UserDefaults writer(path_);
  // Same-sized values in quick succession: each replacement must be noticed.
  for (int i = 0; i < 300; ++i) {
    std::string value = "v" + std::to_string(i % 10);
    ASSERT_TRUE(writer.setObject("Key", value));
    ASSERT_EQ(reader.stringForKey("Key"), value) << "write " << i;
  }
}

TEST_F(UserDefaultsTest, UnreadableFileReadsEmptyAndIsKeptAsideByTheNextWrite) {
  for (const char* bad : {"{\"Key\": tru", "[1, 2]"}) {
    fs::remove(path_ + ".corrupt");
    writeFile(bad);
    UserDefaults defaults(path_);
    EXPECT_TRUE(defaults.snapshot().document().empty()) << bad;
    EXPECT_EQ(defaults.objectForKey("Key"), std::nullopt);

    ScopedLogCapture log;
    ASSERT_TRUE(defaults.setObject("New", 1));
    EXPECT_EQ(contents(path_ + ".corrupt"), bad);
    EXPECT_EQ(onDisk(), (json{{"New", 1}}));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(log.lines()[0].starts_with("Zefra Helper: "));
    EXPECT_NE(log.lines()[0].find(".corrupt"), std::string::npos);
  }
}

TEST_F(UserDefaultsTest, UpdatesFromThreadsLoseNothingAndWriteKeysTogether) {
  UserDefaults shared(path_);
  constexpr int kThreads = 4, kRounds = 100;
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    UserDefaults own(path_);
    while (!done.load()) {
      auto shot = own.snapshot();
      if (shot.get("A") != shot.get("B")) ++torn;
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      UserDefaults own(path_);
      UserDefaults& defaults = t % 2 ? own : shared;
      for (int i = 0; i < kRounds; ++i) {
        auto increment = [](const json* current) {
          return json(current ? current->get<int>() + 1 : 1);
        };
        EXPECT_TRUE(defaults.update("Counter", increment));
        EXPECT_TRUE(defaults.update([&](UserDefaults::Document& document) {
          document.set("A", increment(document.find("A")));
          document.set("B", increment(document.find("B")));
        }));
      }
    });
  }
  for (auto& w : writers) w.join();
  done = true;
  reader.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(onDisk(), (json{{"Counter", 400}, {"A", 400}, {"B", 400}}));
}

TEST_F(UserDefaultsTest, TwoProcessesWritingDifferentKeysLoseNothing) {
  constexpr int kWrites = 1000;
  std::vector<pid_t> children;
  for (const char* name : {"first", "second"}) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      UserDefaults defaults(path_);
      bool ok = true;
      for (int i = 0; i < kWrites; ++i) {
        ok = ok && defaults.setObject(std::string(name) + "-" + std::to_string(i), i).ok();
      }
      ::_exit(ok ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  json document = onDisk();
  EXPECT_EQ(document.size(), 2u * kWrites);
  for (int i = 0; i < kWrites; ++i) {
    EXPECT_EQ(document.value("first-" + std::to_string(i), -1), i);
    EXPECT_EQ(document.value("second-" + std::to_string(i), -1), i);
  }
}

TEST_F(UserDefaultsTest, KilledWriterLeavesTheOldOrTheNewFile) {
  // Each write stores a large value and its round number together. While a
  // child writes, every look at the file must find a whole one; then the child
  // is killed at whatever point it has reached, and the file must be whole.
  const auto look = [&](int* round) {
    json document = json::parse(contents(path_), nullptr, false);
    *round = document.is_object() ? document.value("Round", -1) : -1;
    return *round >= 0 && document.value("Big", "") ==
                              std::string(256 * 1024, static_cast<char>('a' + *round % 26));
  };
  for (int attempt = 0; attempt < 6; ++attempt) {
    int report[2];
    ASSERT_EQ(::pipe2(report, O_CLOEXEC), 0);
    UniqueFd readEnd(report[0]), writeEnd(report[1]);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      readEnd.reset();
      UserDefaults defaults(path_);
      for (int n = 1;; ++n) {
        auto status = defaults.update([n](UserDefaults::Document& document) {
          document.set("Round", n);
          document.set("Big", std::string(256 * 1024, static_cast<char>('a' + n % 26)));
        });
        if (!status || ::write(writeEnd.get(), "x", 1) != 1) ::_exit(1);
      }
    }
    writeEnd.reset();
    int reported = 0, round = 0;
    bool whole = true;
    while (whole && reported < 3 + attempt % 3) {
      if (fs::exists(path_)) whole = look(&round);
      struct pollfd ready {
        readEnd.get(), POLLIN, 0
      };
      char byte;
      if (::poll(&ready, 1, 0) == 1) {
        if (::read(readEnd.get(), &byte, 1) != 1) break;
        ++reported;
      }
    }
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "writer failed before it was killed";
    EXPECT_TRUE(whole) << "a reader saw a torn file";
    EXPECT_TRUE(look(&round)) << "attempt " << attempt;
    EXPECT_GE(round, reported);
    EXPECT_FALSE(fs::exists(path_ + ".corrupt"));
  }
}

}  // namespace
}  // namespace zefra::platform
