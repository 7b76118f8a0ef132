// Finding a tool: the search directories, the login shell and the caches of
// its answers; then what the helper says of itself and of the tools it finds.
#include <sys/time.h>

#include <atomic>

#include "base/clock.h"
#include "support/text.h"
#include "tools/helper_version.h"
#include "tools/tool_fixture.h"

namespace zefra::tools::testing {
namespace {

using Json = nlohmann::json;
using zefra::testing::fileText;

class ResolutionTest : public ToolFixture {
 protected:
  // A tool outside every search directory, for the shell to find.
  std::string elsewhere(const std::string& name) {
    std::filesystem::create_directories(home_ + "/elsewhere");
    return writeExecutable(home_ + "/elsewhere/" + name, "#!/bin/sh\n");
  }
  std::atomic<double> now_{1'000'000.0};
  base::ScopedClockOverride clock_{[this] { return now_.load(); }};
};

TEST_F(ResolutionTest, OnlyCatalogueNamesAreLookedUp) {
  writeTool("not-a-tool", "");
  writeTool("Typst", "");
  for (const char* name : {"not-a-tool", "Typst", " typst", "../bin/typst", ""}) {
    EXPECT_FALSE(resolver().resolveToolPath(name)) << name;
  }
  EXPECT_EQ(shellCalls(), 0);
  EXPECT_TRUE(stored("ResolvedToolPaths").is_null());
}

TEST_F(ResolutionTest, SearchDirectoriesComeFirstInOrderAndAreNotCached) {
  const auto tool = freeTool();
  const auto later = home_ + "/.claude/local";
  std::filesystem::create_directories(later);
  writeExecutable(later + "/" + tool, "#!/bin/sh\n");
  EXPECT_EQ(resolver().resolveToolPath(tool), later + "/" + tool);
  writeTool(tool, "");
  EXPECT_EQ(resolver().resolveToolPath(tool), bin() + "/" + tool);
  // A cached shell answer does not outrank a search directory.
  resolver().storeShellPath(tool, elsewhere(tool));
  EXPECT_EQ(resolver().resolveToolPath(tool), bin() + "/" + tool);
  EXPECT_EQ(shellCalls(), 0);
  // A non-executable file in a directory is no hit.
  std::filesystem::remove(bin() + "/" + tool);
  std::filesystem::remove(later + "/" + tool);
  std::ofstream(bin() + "/" + tool) << "plain";
  EXPECT_EQ(resolver().resolveToolPath(tool), home_ + "/elsewhere/" + tool);
}

TEST_F(ResolutionTest, ShellAnswerIsTrimmedAndCachedInBothLevels) {
  const auto tool = freeTool();
  const auto path = elsewhere(tool);
  setShellAnswer("  " + path + " \n\n");
  EXPECT_EQ(resolver().resolveToolPath(tool), path);
  EXPECT_EQ(resolver().resolveToolPath(tool), path);
  // Asked once, in the helper's own environment.
  EXPECT_EQ(fileText(home_ + "/shell-calls"),
            std::string(getenv("HOME")) + " -lc command -v " + tool + "\n");
  EXPECT_EQ(stored("ResolvedToolPaths")[tool], path);
  EXPECT_EQ(stored("ResolvedToolPathsAt")[tool], now_.load());
  // Another connection uses the persisted answer without the shell.
  EXPECT_EQ(newResolver()->resolveToolPath(tool), path);
  EXPECT_EQ(shellCalls(), 1);
  // Profile noise around the path, a function or alias name, or a relative
  // path that exists from our working directory: no path, a negative entry.
  const auto relative = std::filesystem::relative(path).string();
  ASSERT_TRUE(std::filesystem::exists(relative));
  for (const std::string& answer : {"Welcome!\n" + path + "\n", freeTool(1), relative}) {
    setShellAnswer(answer);
    EXPECT_FALSE(newResolver()->resolveToolPath(freeTool(1))) << answer;
    EXPECT_EQ(stored("ResolvedToolPaths")[freeTool(1)], "") << answer;
  }
}

TEST_F(ResolutionTest, NegativeEntriesLastLessThan900Seconds) {
  const auto tool = freeTool();
  EXPECT_FALSE(resolver().resolveToolPath(tool));
  EXPECT_EQ(shellCalls(), 1);
  EXPECT_EQ(stored("ResolvedToolPaths")[tool], "");

  now_ = now_ + 899.0;
  EXPECT_FALSE(newResolver()->resolveToolPath(tool));
  EXPECT_EQ(shellCalls(), 1);

  now_ = now_ + 1.0;  // 900 seconds after the store
  const auto path = elsewhere(tool);
  setShellAnswer(path);
  EXPECT_EQ(newResolver()->resolveToolPath(tool), path);
  EXPECT_EQ(shellCalls(), 2);
  // The first connection keeps its in-memory answer for its whole life.
  EXPECT_FALSE(resolver().resolveToolPath(tool));
  EXPECT_EQ(shellCalls(), 2);
}

TEST_F(ResolutionTest, UnusableCacheEntriesSendTheLookupBackToTheShell) {
  const auto tool = freeTool();
  // A negative entry without a time is never valid.
  ASSERT_TRUE(defaults_->setObject("ResolvedToolPaths", Json{{tool, ""}}));
  EXPECT_FALSE(resolver().resolveToolPath(tool));
  EXPECT_EQ(shellCalls(), 1);
  // A persisted path that is gone, or that another program of the user wrote
  // there: an executable of another name, a folder named like the tool.
  const auto path = elsewhere(tool);
  const auto folder = home_ + "/folder/" + tool;
  std::filesystem::create_directories(folder);
  setShellAnswer(path);
  int calls = 1;
  for (const std::string& planted : {path + "-gone", elsewhere("script"), folder}) {
    ASSERT_TRUE(defaults_->setObject("ResolvedToolPaths", Json{{tool, planted}}));
    EXPECT_EQ(newResolver()->resolveToolPath(tool), path) << planted;
    EXPECT_EQ(shellCalls(), ++calls) << planted;
  }
  // Nor is such a path taken from the shell itself.
  setShellAnswer(elsewhere("script"));
  EXPECT_FALSE(newResolver()->resolveToolPath(freeTool(1)));
  ++calls;
  setShellAnswer(path);
  // One value of the wrong type voids the dictionary, which is replaced.
  ASSERT_TRUE(defaults_->setObject("ResolvedToolPaths", Json{{tool, path}, {"other", 3}}));
  EXPECT_EQ(newResolver()->resolveToolPath(tool), path);
  EXPECT_EQ(shellCalls(), ++calls);
  EXPECT_EQ(stored("ResolvedToolPaths"), (Json{{tool, path}}));
}

TEST_F(ResolutionTest, ShellThatCannotStartCachesNothing) {
  const auto tool = freeTool();
  auto broken = settings();
  broken.loginShell = home_ + "/no-such-shell";
  ToolResolver resolver(broken);
  EXPECT_FALSE(resolver.resolveToolPath(tool));
  EXPECT_TRUE(stored("ResolvedToolPaths").is_null());
  // The next call tries again rather than trusting a cached failure.
  const auto path = elsewhere(tool);
  writeExecutable(home_ + "/no-such-shell", "#!/bin/sh\necho '" + path + "'\n");
  EXPECT_EQ(resolver.resolveToolPath(tool), path);
}

TEST(HelperVersion, PingAnswersTheShortVersionStringOrOnePointZero) {
  for (const Json& info :
       {Json::object(), Json{{"CFBundleVersion", "7"}}, Json{{"CFBundleShortVersionString", 2.5}},
        Json{{"CFBundleShortVersionString", 2}}, Json{{"CFBundleShortVersionString", nullptr}},
        Json::array()}) {
    EXPECT_EQ(versionFromInfoDictionary(info), "1.0") << info;
  }
  EXPECT_EQ(versionFromInfoDictionary(Json{{"CFBundleShortVersionString", " 2.0 beta "}}),
            " 2.0 beta ");
}

class InventoryTest : public ToolFixture {
 protected:
  std::future<xpc::Inventory> askInventory() {
    auto promise = std::make_shared<std::promise<xpc::Inventory>>();
    auto future = promise->get_future();
    service().toolInventoryWithReply(
        [promise](xpc::Inventory result) { promise->set_value(std::move(result)); });
    return future;
  }
  xpc::Inventory inventory() { return askInventory().get(); }
  // A stand-in whose --version prints `printf` and counts its probes.
  void writeVersionTool(const std::string& name, const std::string& printf, int status = 0) {
    writeTool(name, "echo >> '" + home_ + "/probes-" + name + "'\nprintf '" + printf + "'\nexit " +
                        std::to_string(status));
  }
  int probes(const std::string& name) { return lineCount(home_ + "/probes-" + name); }
  std::string versionOf(const std::string& name) {
    const auto entry = inventory().at(name);
    EXPECT_EQ(entry.at("path"), bin() + "/" + name);
    return entry.at("version");
  }
};

// The first non-empty line, as it is, whatever the status; the probe runs in
// the helper's environment, and output that is not UTF-8 is no version.
TEST_F(InventoryTest, VersionIsTheFirstNonEmptyLine) {
  const struct {
    std::string printf;
    int status;
    std::string version;
  } rows[] = {
      {"\\n\\n  v 2.0  \\nsecond line\\n", 0, "  v 2.0  "},
      {"crlf 1.0\\r\\nnext\\r\\n", 0, "crlf 1.0"},
      {"failing 3.1\\n", 4, "failing 3.1"},
      {"\\n\\n", 0, ""},
      {"bad \\377\\376 version\\n", 0, ""},
      {"%s\\n' \"$HOME\" '", 0, getenv("HOME")},
  };
  for (int i = 0; i < static_cast<int>(std::size(rows)); ++i) {
    writeVersionTool(freeTool(i), rows[i].printf, rows[i].status);
  }
  for (int i = 0; i < static_cast<int>(std::size(rows)); ++i) {
    EXPECT_EQ(versionOf(freeTool(i)), rows[i].version) << rows[i].printf;
  }
}

// The cache is keyed by path and modification time, shared by connections;
// a malformed one misses everywhere and is replaced.
TEST_F(InventoryTest, ProbesAgainOnlyWhenTheFileChanges) {
  const auto tool = freeTool();
  const auto path = bin() + "/" + tool;
  const auto entry = [](const char* version) {
    return Json{{"mtime", 1'700'000'000.5}, {"version", version}};
  };
  writeVersionTool(tool, "one\\n");
  EXPECT_EQ(versionOf(tool), "one");
  EXPECT_EQ(versionOf(tool), "one");
  EXPECT_EQ(newResolver()->toolVersion(path), "one");
  EXPECT_EQ(probes(tool), 1);
  struct timeval times[2] = {{1'700'000'000, 0}, {1'700'000'000, 500'000}};
  writeVersionTool(tool, "two\\n");
  utimes(path.c_str(), times);
  EXPECT_EQ(versionOf(tool), "two");
  EXPECT_EQ(probes(tool), 2);
  EXPECT_EQ(stored("ToolVersions")[path], entry("two"));

  ASSERT_TRUE(defaults_->setObject("ToolVersions", Json{{path, entry("stale")}, {"/other", 1}}));
  EXPECT_EQ(newResolver()->toolVersion(path), "two");
  EXPECT_EQ(probes(tool), 3);
  EXPECT_EQ(stored("ToolVersions"), (Json{{path, entry("two")}}));
}

TEST_F(InventoryTest, HangingProbeIsCutOffAndNotCached) {
  probeTimeout_ = 0.5;
  const auto hanging = freeTool();
  const auto fine = freeTool(1);
  writeTool(hanging, "echo >> '" + home_ + "/probes-" + hanging + "'; exec sleep 600");
  writeVersionTool(fine, "fine 1\\n");
  auto listed = inventory();
  EXPECT_EQ(listed.at(hanging).at("version"), "");
  EXPECT_EQ(listed.at(fine).at("version"), "fine 1");
  EXPECT_FALSE(stored("ToolVersions").contains(bin() + "/" + hanging));
  inventory();
  EXPECT_EQ(probes(hanging), 2);
}

// Inventories asked for while one is in progress share it rather than each
// taking a thread per tool; past kMaxInventoryWaiters they answer at once,
// empty.
TEST_F(InventoryTest, InventoriesAskedMeanwhileShareOneWithinABound) {
  const auto tool = freeTool();
  base::UniqueFd held = holdGate();
  writeTool(tool,
            "echo >> '" + home_ + "/probes-" + tool + "'; flock -s '" + gate() + "' echo slow 1");
  std::vector<std::future<xpc::Inventory>> replies;
  replies.push_back(askInventory());
  ASSERT_TRUE(zefra::testing::eventually([&] { return probes(tool) > 0; }));
  for (std::size_t i = 0; i < kMaxInventoryWaiters + 6; ++i) replies.push_back(askInventory());
  for (std::size_t i = kMaxInventoryWaiters; i < replies.size(); ++i) {
    EXPECT_TRUE(replies[i].get().empty()) << i;
  }
  held.reset();
  for (std::size_t i = 0; i < kMaxInventoryWaiters; ++i) {
    EXPECT_EQ(replies[i].get().at(tool).at("version"), "slow 1") << i;
  }
  EXPECT_EQ(probes(tool), 1);
}

}  // namespace
}  // namespace zefra::tools::testing
