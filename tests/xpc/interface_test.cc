#include "xpc/interface.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "platform/bundle.h"
#include "wire/message.h"
#include "xpc/exported_object.h"
#include "xpc/helper_version.h"

namespace zefra::xpc {
namespace {

using wire::IpcValue;
using S = Selector;

IpcValue str(const char* text) {
  return IpcValue::string(text);
}
IpcValue data(const char* bytes) {
  return IpcValue::data(Bytes::copy(bytes));
}
IpcValue list(std::vector<IpcValue> elements) {
  return IpcValue::array(std::move(elements));
}
IpcValue dict(const char* key, IpcValue value) {
  return IpcValue::map({{str(key), std::move(value)}});
}

const char* kRun = "runWithRunID:tool:arguments:input:workingDirectory:environment:reply:";

std::vector<IpcValue> runArguments() {
  return {str("run-1"),    str("pandoc"), list({str("-o"), str("out.pdf")}),
          data("# Title"), str("/tmp"),   dict("LANG", str("C"))};
}

platform::Status check(S selector, bool ofReply, std::vector<IpcValue> values) {
  std::shared_ptr<Interface> interface = makeHelperInterface();
  if (ofReply) return interface->checkReply(selectorName(selector), values);
  platform::Result<bool> call = interface->checkCall(selectorName(selector), values);
  if (!call) return call.error();
  return platform::Ok{};
}

TEST(HelperInterface, ClassSetsReachIntoCollectionsAndNilOnlyAtTheTop) {
  EXPECT_TRUE(check(S::kRun, false, runArguments()).ok());
  std::vector<IpcValue> arguments = runArguments();
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    arguments = runArguments();
    arguments[i] = IpcValue();
    EXPECT_TRUE(check(S::kRun, false, arguments).ok()) << i;
  }
  for (auto [index, refused] :
       {std::pair{0, data("id")}, std::pair{2, list({data("b")})}, std::pair{2, list({IpcValue()})},
        std::pair{3, str("text")}, std::pair{5, dict("N", data("1"))},
        std::pair{1, IpcValue::integer(1)}}) {
    arguments = runArguments();
    arguments[index] = refused;
    platform::Status status = check(S::kRun, false, arguments);
    ASSERT_FALSE(status.ok()) << index;
    EXPECT_EQ(status.error().code, EPROTO);
  }
  EXPECT_TRUE(check(S::kToolInventory, true, {dict("t", dict("version", str("1")))}).ok());
  EXPECT_FALSE(check(S::kToolInventory, true, {dict("t", dict("v", data("x")))}).ok());
  EXPECT_FALSE(check(S::kPing, true, {data("2.0")}).ok());
}

TEST(HelperInterface, ScalarsArityAndTheOneWayRule) {
  EXPECT_TRUE(check(S::kPrepareForUpdate, true, {IpcValue::boolean(true)}).ok());
  EXPECT_FALSE(check(S::kPrepareForUpdate, true, {IpcValue::integer(1)}).ok());
  EXPECT_FALSE(check(S::kInstallUpdate, true, {IpcValue(), str("m")}).ok()) << "nil bool";
  for (IpcValue status : {IpcValue::integer(1LL << 31), IpcValue(), data("0")}) {
    EXPECT_FALSE(check(S::kRun, true, {data("out"), data(""), status}).ok()) << "not an int32";
  }
  std::vector<IpcValue> tooFew = runArguments();
  tooFew.pop_back();
  EXPECT_FALSE(check(S::kRun, false, tooFew).ok()) << "wrong arity";
  EXPECT_FALSE(check(S::kPing, false, {str("x")}).ok()) << "ping takes nothing";
  EXPECT_FALSE(check(S::kPing, true, {}).ok());

  std::shared_ptr<Interface> interface = makeHelperInterface();
  EXPECT_FALSE(interface->checkCall("pingWithReply", {}).ok()) << "unknown selector";
  EXPECT_FALSE(interface->checkReply("cancelWithRunID:", {}).ok()) << "cancel has no reply";
  // Only cancel is one-way: it alone may, and must, come with call ID 0.
  EXPECT_EQ(interface->checkCall("cancelWithRunID:", {str("r")}).value(), false);
}

// Describes the last call that reached it; the update calls are not offered.
class RecordingHelper : public ZefraHelperProtocol {
 public:
  bool offers(S selector) const override {
    return selector != S::kPrepareForUpdate && selector != S::kInstallUpdate;
  }
  void pingWithReply(PingReply) override { last = "ping"; }
  void toolInventoryWithReply(InventoryReply) override { last = "inventory"; }
  void runWithRunID(std::string runID, std::string tool, std::vector<std::string> arguments,
                    std::optional<Bytes> input, std::optional<std::string> workingDirectory,
                    Environment environment, RunReply) override {
    last = runID + "|" + tool + "|" + (input ? "input:" + input->str() : "no input") + "|" +
           workingDirectory.value_or("no directory");
    for (const std::string& argument : arguments) last += "|" + argument;
    for (const auto& [name, value] : environment) last += "|" + name + "=" + value;
  }
  void cancelWithRunID(std::string runID) override { last = "cancel:" + runID; }
  void prepareForUpdateWithReply(PrepareReply) override { last = "prepare"; }
  void installUpdateFromZipAt(std::string, InstallReply) override { last = "install"; }

  std::string last;
};

TEST(HelperInterface, ReadsNilAsEmptyAndRefusesWhatIsNotOfferedOrOfTheWrongShape) {
  auto helper = std::make_shared<RecordingHelper>();
  ExportedObject object(helper);
  auto bound = object.bind(
      kRun, {IpcValue(), str("pandoc"), IpcValue(), IpcValue(), IpcValue(), IpcValue()}, {});
  ASSERT_TRUE(bound.ok());
  EXPECT_EQ(helper->last, "") << "binding does not enter the method";
  (*bound)();
  EXPECT_EQ(helper->last, "|pandoc|no input|no directory");
  std::vector<IpcValue> arguments = runArguments();
  arguments[3] = data("");
  object.bind(kRun, arguments, {}).value()();
  EXPECT_EQ(helper->last, "run-1|pandoc|input:|/tmp|-o|out.pdf|LANG=C") << "empty input is input";

  object.bind("cancelWithRunID:", {IpcValue()}, {}).value()();
  EXPECT_EQ(helper->last, "cancel:") << "a nil run ID arrives as the empty string";

  helper->last.clear();
  EXPECT_FALSE(object.bind("prepareForUpdateWithReply:", {}, {}).ok()) << "not offered";
  EXPECT_FALSE(object.bind("installUpdateFromZipAt:reply:", {str("/z.zip")}, {}).ok());
  // Admitted by the class sets, yet not the declared shapes.
  for (auto [index, value] :
       {std::pair{2, str("-o")}, std::pair{2, list({list({str("a")})})},
        std::pair{5, str("LANG=C")}, std::pair{5, dict("A", dict("B", str("")))}}) {
    std::vector<IpcValue> arguments = runArguments();
    arguments[index] = value;
    EXPECT_FALSE(object.bind(kRun, arguments, {}).ok()) << index;
  }
  EXPECT_EQ(helper->last, "");
  EXPECT_TRUE(object.bind("pingWithReply:", {}, {}).ok());
}

TEST(HelperInterface, ShortVersionStringOrOnePointZeroWorkedOutOnce) {
  using nlohmann::json;
  for (const json& info :
       {json::object(), json{{"CFBundleVersion", "7"}}, json{{"CFBundleShortVersionString", 2.5}},
        json{{"CFBundleShortVersionString", 2}}, json{{"CFBundleShortVersionString", nullptr}},
        json::array()}) {
    EXPECT_EQ(versionFromInfoDictionary(info), "1.0") << info;
  }
  EXPECT_EQ(versionFromInfoDictionary(json{{"CFBundleShortVersionString", " 2.0 beta "}}),
            " 2.0 beta ");

  // Worked out once, then the same text for the life of the process.
  VersionOnce version;
  int reads = 0;
  auto info = [&](std::string text) {
    return [&reads, text] {
      ++reads;
      return nlohmann::json{{"CFBundleShortVersionString", text}};
    };
  };
  EXPECT_EQ(version.get(info("3.0")), "3.0");
  EXPECT_EQ(version.get(info("9.9")), "3.0");
  EXPECT_EQ(reads, 1);

  // The process's own: this test program lies outside any bundle.
  EXPECT_EQ(helperVersion(), versionFromInfoDictionary(platform::Bundle::main().infoDictionary()));
}

}  // namespace
}  // namespace zefra::xpc
