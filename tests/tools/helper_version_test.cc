#include "tools/helper_version.h"

#include <gtest/gtest.h>

namespace zefra::tools {
namespace {

TEST(HelperVersion, PingAnswersTheShortVersionStringOrOnePointZero) {
  using nlohmann::json;
  for (const json& info :
       {json::object(), json{{"CFBundleVersion", "7"}}, json{{"CFBundleShortVersionString", 2.5}},
        json{{"CFBundleShortVersionString", 2}}, json{{"CFBundleShortVersionString", nullptr}},
        json::array()}) {
    EXPECT_EQ(versionFromInfoDictionary(info), "1.0") << info;
  }
  EXPECT_EQ(versionFromInfoDictionary(json{{"CFBundleShortVersionString", " 2.0 beta "}}),
            " 2.0 beta ");
}

}  // namespace
}  // namespace zefra::tools
