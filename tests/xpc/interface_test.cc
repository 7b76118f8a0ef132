#include "xpc/interface.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/bundle.h"
#include "platform/ipc_message.h"
#include "xpc/exported_object.h"
#include "xpc/helper_version.h"

namespace zefra::xpc {
namespace {

using platform::IpcValue;
using C = ObjectClass;

IpcValue str(const char* text) {
  return IpcValue::string(text);
}
IpcValue strings(std::vector<IpcValue> elements) {
  return IpcValue::array(std::move(elements));
}
IpcValue dict(std::vector<std::pair<IpcValue, IpcValue>> pairs) {
  IpcValue::Map entries;
  for (auto& [key, value] : pairs) entries.push_back({key, value});
  return IpcValue::map(std::move(entries));
}
IpcValue data(const char* bytes) {
  return IpcValue::data(Bytes::copy(bytes));
}

const char* kRun = "runWithRunID:tool:arguments:input:workingDirectory:environment:reply:";

std::vector<IpcValue> runArguments() {
  return {str("run-1"),    str("pandoc"), strings({str("-o"), str("out.pdf")}),
          data("# Title"), str("/tmp"),   dict({{str("LANG"), str("C")}})};
}

TEST(HelperInterface, HasTheAllowedClassesOfEveryPosition) {
  std::shared_ptr<Interface> interface = makeHelperInterface();
  const ClassSet strings{C::kString}, data{C::kData};
  const ClassSet dictionaries{C::kDictionary, C::kString}, arrays{C::kArray, C::kString};
  auto classes = [&](Selector selector, bool ofReply, std::size_t index) {
    const MethodDescription& method = interface->method(selector);
    return (ofReply ? method.reply : method.arguments).at(index).classes;
  };
  EXPECT_EQ(classes(Selector::kPing, true, 0), strings);
  EXPECT_EQ(classes(Selector::kToolInventory, true, 0), dictionaries);
  EXPECT_EQ(classes(Selector::kRun, false, 0), strings);
  EXPECT_EQ(classes(Selector::kRun, false, 1), strings);
  EXPECT_EQ(classes(Selector::kRun, false, 2), arrays);
  EXPECT_EQ(classes(Selector::kRun, false, 3), data);
  EXPECT_EQ(classes(Selector::kRun, false, 4), strings);
  EXPECT_EQ(classes(Selector::kRun, false, 5), dictionaries);
  EXPECT_EQ(classes(Selector::kRun, true, 0), data);
  EXPECT_EQ(classes(Selector::kRun, true, 1), data);
  EXPECT_EQ(classes(Selector::kCancel, false, 0), strings);
  EXPECT_EQ(classes(Selector::kInstallUpdate, false, 0), strings);
  EXPECT_EQ(classes(Selector::kInstallUpdate, true, 1), strings);
  EXPECT_EQ(interface->method(Selector::kRun).reply.at(2).kind, Position::Kind::kInt32);
  EXPECT_EQ(interface->method(Selector::kPrepareForUpdate).reply.at(0).kind, Position::Kind::kBool);
  EXPECT_FALSE(interface->method(Selector::kCancel).hasReply);

  std::shared_ptr<Interface> another = makeHelperInterface();
  EXPECT_NE(interface, another) << "a new object each time";
  EXPECT_TRUE(*interface == *another);
  EXPECT_FALSE(*interface == Interface()) << "the sets differ from the declared types";
  EXPECT_FALSE(Interface().setClasses(strings, Selector::kRun, 2, true)) << "scalar position";
  EXPECT_FALSE(Interface().setClasses(strings, Selector::kPing, 1, true)) << "no such position";
}

TEST(HelperInterface, ServiceNamesInOrder) {
  ASSERT_EQ(machServiceNames.size(), 2u);
  EXPECT_EQ(machServiceNames[0], "group.com.ovak.zefra.helper");
  EXPECT_EQ(machServiceNames[1], "K4T9QZ2M7B.com.ovak.zefra.helper");
}

TEST(HelperInterface, ChecksCallArgumentsByClassInsideCollectionsToo) {
  std::shared_ptr<Interface> interface = makeHelperInterface();
  auto withArgument = [](std::size_t index, IpcValue value) {
    std::vector<IpcValue> arguments = runArguments();
    arguments[index] = std::move(value);
    return arguments;
  };
  EXPECT_EQ(interface->checkCall(kRun, runArguments()).value(), true);
  EXPECT_TRUE(interface->checkCall(kRun, withArgument(3, IpcValue())).ok()) << "nil input";
  EXPECT_TRUE(interface->checkCall(kRun, withArgument(3, data(""))).ok()) << "empty input";
  EXPECT_TRUE(interface->checkCall(kRun, withArgument(4, IpcValue())).ok()) << "nil directory";
  EXPECT_TRUE(interface->checkCall(kRun, withArgument(2, strings({}))).ok());

  const std::vector<std::pair<std::vector<IpcValue>, const char*>> refused = {
      {withArgument(0, data("id")), "data for a string"},
      {withArgument(0, IpcValue::integer(1)), "number for a string"},
      {withArgument(1, IpcValue::boolean(true)), "bool for a string"},
      {withArgument(2, strings({str("a"), IpcValue::integer(2)})), "number in the arguments"},
      {withArgument(2, strings({data("a")})), "data in the arguments"},
      {withArgument(3, str("text")), "string for data"},
      {withArgument(5, dict({{str("N"), IpcValue::integer(1)}})), "number as a value"},
      {withArgument(5, dict({{IpcValue::integer(1), str("v")}})), "number as a key"},
      {withArgument(5, strings({str("a")})), "array for a dictionary"},
  };
  for (const auto& [arguments, what] : refused) {
    platform::Result<bool> checked = interface->checkCall(kRun, arguments);
    ASSERT_FALSE(checked.ok()) << what;
    EXPECT_EQ(checked.error().code, EPROTO);
  }
  std::vector<IpcValue> tooFew = runArguments();
  tooFew.pop_back();
  EXPECT_FALSE(interface->checkCall(kRun, tooFew).ok()) << "wrong arity";
  EXPECT_FALSE(interface->checkCall("pingWithReply", {}).ok()) << "unknown selector";
  EXPECT_FALSE(interface->checkCall("pingWithReply:", {str("x")}).ok()) << "ping takes nothing";
  EXPECT_EQ(interface->checkCall("cancelWithRunID:", {str("r")}).value(), false) << "one-way";
}

TEST(HelperInterface, OneWayOnlyForCancel) {
  std::shared_ptr<Interface> interface = makeHelperInterface();
  EXPECT_TRUE(
      platform::parseCall(platform::makeCallMessage(0, "cancelWithRunID:", {str("r")}), *interface)
          .ok());
  EXPECT_FALSE(
      platform::parseCall(platform::makeCallMessage(2, "cancelWithRunID:", {str("r")}), *interface)
          .ok());
  EXPECT_FALSE(
      platform::parseCall(platform::makeCallMessage(0, "pingWithReply:", {}), *interface).ok());
}

TEST(HelperInterface, ChecksReplies) {
  std::shared_ptr<Interface> interface = makeHelperInterface();
  EXPECT_TRUE(interface->checkReply("pingWithReply:", {str("1.0")}).ok());
  EXPECT_TRUE(interface->checkReply("pingWithReply:", {IpcValue()}).ok()) << "nil at the top";
  EXPECT_FALSE(interface->checkReply("pingWithReply:", {IpcValue::integer(1)}).ok());
  EXPECT_FALSE(interface->checkReply("pingWithReply:", {}).ok());
  EXPECT_TRUE(interface->checkReply(kRun, {data("out"), data(""), IpcValue::integer(-15)}).ok());
  EXPECT_FALSE(
      interface->checkReply(kRun, {data("out"), data(""), IpcValue::integer(1LL << 31)}).ok())
      << "status beyond 32 bits";
  EXPECT_FALSE(interface->checkReply(kRun, {data("out"), data(""), IpcValue()}).ok()) << "nil int";
  EXPECT_FALSE(interface->checkReply(kRun, {str("out"), data(""), IpcValue::integer(0)}).ok());
  IpcValue inventory = dict({{str("pandoc"), dict({{str("path"), str("/usr/bin/pandoc")}})}});
  EXPECT_TRUE(interface->checkReply("toolInventoryWithReply:", {inventory}).ok());
  EXPECT_FALSE(interface->checkReply("toolInventoryWithReply:",
                                     {dict({{str("pandoc"), dict({{str("v"), data("x")}})}})})
                   .ok());
  EXPECT_TRUE(interface->checkReply("prepareForUpdateWithReply:", {IpcValue::boolean(true)}).ok());
  EXPECT_FALSE(interface->checkReply("prepareForUpdateWithReply:", {IpcValue::integer(1)}).ok());
  EXPECT_TRUE(
      interface->checkReply("installUpdateFromZipAt:reply:", {IpcValue::boolean(false), str("m")})
          .ok());
  EXPECT_FALSE(interface->checkReply("cancelWithRunID:", {}).ok());
}

// Records what reaches it; ping and cancel are offered, the update calls not.
class RecordingHelper : public ZefraHelperProtocol {
 public:
  bool offers(Selector selector) const override {
    return selector != Selector::kPrepareForUpdate && selector != Selector::kInstallUpdate;
  }
  void pingWithReply(PingReply reply) override {
    ++entered;
    reply("1.0");
  }
  void toolInventoryWithReply(InventoryReply reply) override {
    ++entered;
    reply({});
  }
  void runWithRunID(std::string runID, std::string tool, std::vector<std::string> arguments,
                    std::optional<Bytes> input, std::optional<std::string> workingDirectory,
                    Environment environment, RunReply reply) override {
    ++entered;
    lastRun = {runID, tool, arguments, input, workingDirectory, environment};
    reply({}, {}, 0);
  }
  void cancelWithRunID(std::string runID) override {
    ++entered;
    cancelled = runID;
  }
  void prepareForUpdateWithReply(PrepareReply reply) override {
    ++entered;
    reply(true);
  }
  void installUpdateFromZipAt(std::string, InstallReply reply) override {
    ++entered;
    reply(true, "");
  }

  struct Run {
    std::string runID, tool;
    std::vector<std::string> arguments;
    std::optional<Bytes> input;
    std::optional<std::string> workingDirectory;
    Environment environment;
  };
  int entered = 0;
  Run lastRun;
  std::optional<std::string> cancelled;
};

TEST(ExportedObject, ReadsNilAsEmptyButKeepsAbsentInput) {
  auto helper = std::make_shared<RecordingHelper>();
  ExportedObject object(helper);
  auto run = object.bind(
      kRun, {IpcValue(), str("pandoc"), IpcValue(), IpcValue(), IpcValue(), IpcValue()}, {});
  ASSERT_TRUE(run.ok());
  EXPECT_EQ(helper->entered, 0) << "binding does not enter the method";
  (*run)();
  EXPECT_EQ(helper->lastRun.runID, "");
  EXPECT_TRUE(helper->lastRun.arguments.empty());
  EXPECT_FALSE(helper->lastRun.input.has_value());
  EXPECT_FALSE(helper->lastRun.workingDirectory.has_value());
  EXPECT_TRUE(helper->lastRun.environment.empty());

  std::vector<IpcValue> arguments = runArguments();
  arguments[3] = data("");
  object.bind(kRun, arguments, {}).value()();
  ASSERT_TRUE(helper->lastRun.input.has_value()) << "empty input is still input";
  EXPECT_TRUE(helper->lastRun.input->empty());
  EXPECT_EQ(helper->lastRun.arguments, (std::vector<std::string>{"-o", "out.pdf"}));
  EXPECT_EQ(helper->lastRun.environment, (Environment{{"LANG", "C"}}));
  EXPECT_EQ(helper->lastRun.workingDirectory, "/tmp");

  object.bind("cancelWithRunID:", {IpcValue()}, {}).value()();
  EXPECT_EQ(helper->cancelled, "") << "a nil run ID arrives as the empty string";
}

TEST(ExportedObject, RefusesWhatIsNotOfferedOrOfTheWrongShape) {
  auto helper = std::make_shared<RecordingHelper>();
  ExportedObject object(helper);
  EXPECT_FALSE(object.bind("prepareForUpdateWithReply:", {}, {}).ok()) << "not offered";
  EXPECT_FALSE(object.bind("installUpdateFromZipAt:reply:", {str("/z.zip")}, {}).ok());
  // Admitted by the class sets, yet not the declared shapes.
  auto withArgument = [](std::size_t index, IpcValue value) {
    std::vector<IpcValue> arguments = runArguments();
    arguments[index] = std::move(value);
    return arguments;
  };
  EXPECT_FALSE(object.bind(kRun, withArgument(2, str("-o")), {}).ok()) << "string for a list";
  EXPECT_FALSE(object.bind(kRun, withArgument(2, strings({strings({str("a")})})), {}).ok());
  EXPECT_FALSE(object.bind(kRun, withArgument(5, str("LANG=C")), {}).ok()) << "string for a map";
  EXPECT_FALSE(object.bind(kRun, withArgument(5, dict({{str("A"), dict({})}})), {}).ok());
  EXPECT_EQ(helper->entered, 0);
  EXPECT_TRUE(object.bind("pingWithReply:", {}, {}).ok());
}

TEST(HelperVersion, ShortVersionStringOrOnePointZero) {
  using nlohmann::json;
  EXPECT_EQ(versionFromInfoDictionary(json::object()), "1.0");
  EXPECT_EQ(versionFromInfoDictionary(json{{"CFBundleVersion", "7"}}), "1.0");
  EXPECT_EQ(versionFromInfoDictionary(json{{"CFBundleShortVersionString", 2.5}}), "1.0");
  EXPECT_EQ(versionFromInfoDictionary(json{{"CFBundleShortVersionString", nullptr}}), "1.0");
  EXPECT_EQ(versionFromInfoDictionary(json::array()), "1.0");
  EXPECT_EQ(versionFromInfoDictionary(json{{"CFBundleShortVersionString", " 2.0 beta "}}),
            " 2.0 beta ");
}

TEST(HelperVersion, WorkedOutOnceForTheLifeOfTheProcess) {
  VersionOnce version;
  std::atomic<int> reads{0};
  std::vector<std::thread> threads;
  std::vector<std::string> seen(8);
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      seen[i] = version.get([&] {
        ++reads;
        return nlohmann::json{{"CFBundleShortVersionString", "3." + std::to_string(i)}};
      });
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(reads.load(), 1);
  for (const std::string& text : seen) EXPECT_EQ(text, seen[0]);
  EXPECT_EQ(version.get([&] {
    ++reads;
    return nlohmann::json{{"CFBundleShortVersionString", "9.9"}};
  }),
            seen[0]);
  EXPECT_EQ(reads.load(), 1);

  // The process's own: this test program lies outside any bundle.
  EXPECT_EQ(helperVersion(), versionFromInfoDictionary(platform::Bundle::main().infoDictionary()));
  EXPECT_EQ(&helperVersion(), &helperVersion());
}

}  // namespace
}  // namespace zefra::xpc
