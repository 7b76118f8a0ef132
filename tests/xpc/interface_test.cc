#include "xpc/interface.h"

#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <vector>

#include "wire/message.h"
#include "xpc/exported_object.h"

namespace zefra::xpc {
namespace {

using wire::IpcValue;
using S = Selector;

const auto str = [](const char* text) { return IpcValue::string(text); };
const auto data = [](const char* bytes) { return IpcValue::data(Bytes::copy(bytes)); };
const auto list = [](std::vector<IpcValue> elements) {
  return IpcValue::array(std::move(elements));
};
const auto dict = [](const char* key, IpcValue value) {
  return IpcValue::map({{str(key), std::move(value)}});
};

const char* kRun = "runWithRunID:tool:arguments:input:workingDirectory:environment:reply:";

std::vector<IpcValue> runArguments() {
  return {str("run-1"),    str("pandoc"), list({str("-o"), str("out.pdf")}),
          data("# Title"), str("/tmp"),   dict("LANG", str("C"))};
}

bool admits(S selector, bool ofReply, const std::vector<IpcValue>& values) {
  std::shared_ptr<Interface> interface = makeHelperInterface();
  return ofReply ? interface->checkReply(selectorName(selector), values).ok()
                 : interface->checkCall(selectorName(selector), values).ok();
}

TEST(HelperInterface, ClassSetsReachIntoCollectionsAndNilOnlyAtTheTop) {
  EXPECT_TRUE(admits(S::kRun, false, runArguments()));
  std::vector<IpcValue> arguments;
  for (std::size_t i = 0; i < 6; ++i) {
    arguments = runArguments();
    arguments[i] = IpcValue();
    EXPECT_TRUE(admits(S::kRun, false, arguments)) << i;
  }
  for (auto [index, refused] :
       {std::pair{0, data("id")}, std::pair{2, list({data("b")})}, std::pair{2, list({IpcValue()})},
        std::pair{3, str("text")}, std::pair{5, dict("N", data("1"))},
        std::pair{1, IpcValue::integer(1)}}) {
    arguments = runArguments();
    arguments[index] = refused;
    EXPECT_FALSE(admits(S::kRun, false, arguments)) << index;
  }
  EXPECT_TRUE(admits(S::kToolInventory, true, {dict("t", dict("version", str("1")))}));
  EXPECT_FALSE(admits(S::kToolInventory, true, {dict("t", dict("v", data("x")))}));
  EXPECT_FALSE(admits(S::kPing, true, {data("2.0")}));
}

TEST(HelperInterface, ScalarsArityAndTheOneWayRule) {
  EXPECT_TRUE(admits(S::kPrepareForUpdate, true, {IpcValue::boolean(true)}));
  EXPECT_FALSE(admits(S::kPrepareForUpdate, true, {IpcValue::integer(1)}));
  EXPECT_FALSE(admits(S::kInstallUpdate, true, {IpcValue(), str("m")})) << "nil bool";
  for (IpcValue status : {IpcValue::integer(1LL << 31), IpcValue(), data("0")}) {
    EXPECT_FALSE(admits(S::kRun, true, {data("out"), data(""), status})) << "not an int32";
  }
  EXPECT_FALSE(admits(S::kPing, false, {str("x")})) << "wrong arity";

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
  void runWithOptions(std::string runID, std::string, std::vector<std::string>,
                      std::optional<Bytes>, std::optional<std::string>, Environment,
                      RunOptions options, RunOutput output, RunOutcomeReply) override {
    last = runID + "|stream=" + std::to_string(options.stream) +
           "|timeout=" + std::to_string(options.timeout) +
           "|limit=" + std::to_string(options.outputLimit.value_or(0)) +
           "|end=" + std::to_string(options.cancelOnDisconnect) +
           "|offline=" + std::to_string(options.noNetwork) + "|confine=";
    for (const auto& directory : options.confine) last += directory + ",";
    last += "|output=" + std::to_string(static_cast<bool>(output.deliver));
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

// The options dictionary admits numbers, booleans and the list of folders,
// nowhere else they could hide; its keys and kinds are checked before the method is entered.
TEST(HelperInterface, RunOptionsAreReadStrictly) {
  const char* kOptionsRun =
      "runWithRunID:tool:arguments:input:workingDirectory:environment:options:reply:";
  auto withOptions = [](IpcValue options) {
    std::vector<IpcValue> arguments = runArguments();
    arguments.push_back(std::move(options));
    return arguments;
  };
  const auto b = IpcValue::boolean(true);
  const auto i = [](std::int64_t v) { return IpcValue::integer(v); };
  const auto options = IpcValue::map({{str("stream"), b},
                                      {str("timeout"), IpcValue::real(1.5)},
                                      {str("outputLimit"), i(64)},
                                      {str("cancelOnDisconnect"), b},
                                      {str("noNetwork"), b},
                                      {str("confine"), list({str("/a"), str("/b")})}});
  EXPECT_TRUE(admits(S::kRunWithOptions, false, withOptions(options)));
  EXPECT_TRUE(admits(S::kRunWithOptions, false, withOptions(IpcValue())));
  EXPECT_FALSE(admits(S::kRunWithOptions, false, withOptions(dict("stream", data("1")))));
  EXPECT_FALSE(admits(S::kRun, false,
                      {str("r"), str("t"), list({i(1)}), IpcValue(), IpcValue(), IpcValue()}))
      << "numbers stay out of the first run's arguments";
  EXPECT_TRUE(admits(S::kRunWithOptions, true, {dict("standardOutput", data("x"))}));

  auto helper = std::make_shared<RecordingHelper>();
  ExportedObject object(helper);
  object.bind(kOptionsRun, withOptions(options), {}).value()();
  EXPECT_EQ(helper->last,
            "run-1|stream=1|timeout=1.500000|limit=64|end=1|offline=1|confine=/a,/b,|output=1");
  object.bind(kOptionsRun, withOptions(dict("timeout", i(2))), {}).value()();
  EXPECT_EQ(helper->last,
            "run-1|stream=0|timeout=2.000000|limit=0|end=0|offline=0|confine=|output=1");
  for (const IpcValue& refused :
       {dict("stream", i(1)), dict("timeout", IpcValue::real(-1)),
        dict("timeout", IpcValue::real(std::numeric_limits<double>::quiet_NaN())),
        dict("timeout", IpcValue::real(std::numeric_limits<double>::infinity())),
        dict("outputLimit", i(-1)), dict("outputLimit", IpcValue::real(1)),
        dict("memoryLimit", i(1)), IpcValue::map({{i(1), b}}), b, dict("noNetwork", i(1)),
        dict("confine", str("/a")), dict("confine", list({i(1)})), dict("stream", list({b}))}) {
    EXPECT_FALSE(object.bind(kOptionsRun, withOptions(refused), {}).ok());
  }
}

}  // namespace
}  // namespace zefra::xpc
