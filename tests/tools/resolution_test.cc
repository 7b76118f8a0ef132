#include <atomic>

#include "base/clock.h"
#include "support/text.h"
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

}  // namespace
}  // namespace zefra::tools::testing
