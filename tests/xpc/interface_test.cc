#include "xpc/interface.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "support/ping_only_helper.h"
#include "wire/message.h"
#include "xpc/exported_object.h"
#include "xpc/run_options_wire.h"

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
const auto integer = [](std::int64_t value) { return IpcValue::integer(value); };

const char* kRun = "runWithRunID:tool:arguments:input:workingDirectory:environment:reply:";

std::vector<IpcValue> runArguments() {
  return {str("run-1"),    str("pandoc"), list({str("-o"), str("out.pdf")}),
          data("# Title"), str("/tmp"),   dict("LANG", str("C"))};
}

// The run's arguments with the one at `index` replaced, or the options added.
std::vector<IpcValue> runWith(std::size_t index, IpcValue value) {
  std::vector<IpcValue> arguments = runArguments();
  arguments.resize(std::max(arguments.size(), index + 1));
  arguments[index] = std::move(value);
  return arguments;
}

TEST(HelperInterface, ClassSetsReachIntoCollectionsArityAndTheOneWayRule) {
  struct Row {
    S selector;
    bool ofReply;
    std::vector<IpcValue> values;
    bool admitted;
  };
  const std::vector<Row> rows = {
      {S::kRun, false, runArguments(), true},
      {S::kRun, false, runWith(0, data("id")), false},
      {S::kRun, false, runWith(2, list({data("b")})), false},
      {S::kRun, false, runWith(2, list({IpcValue()})), false},
      {S::kRun, false, runWith(3, str("text")), false},
      {S::kRun, false, runWith(5, dict("N", data("1"))), false},
      {S::kRunWithOptions, false, runWith(6, IpcValue()), true},
      {S::kRunWithOptions, false, runWith(6, dict("stream", data("1"))), false},
      {S::kRunWithOptions, true, {dict("standardOutput", data("x"))}, true},
      {S::kToolInventory, true, {dict("t", dict("version", str("1")))}, true},
      {S::kToolInventory, true, {dict("t", dict("v", data("x")))}, false},
      {S::kPing, true, {data("2.0")}, false},
      {S::kPing, false, {str("x")}, false},
      {S::kPrepareForUpdate, true, {IpcValue::boolean(true)}, true},
      {S::kPrepareForUpdate, true, {integer(1)}, false},
      {S::kInstallUpdate, true, {IpcValue(), str("m")}, false},
      {S::kRun, true, {data("out"), data(""), integer(1LL << 31)}, false},
      {S::kRun, true, {data("out"), data(""), IpcValue()}, false},
  };
  std::shared_ptr<Interface> interface = makeHelperInterface();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    const std::string name = selectorName(row.selector);
    const bool admitted = row.ofReply ? interface->checkReply(name, row.values).ok()
                                      : interface->checkCall(name, row.values).ok();
    EXPECT_EQ(admitted, row.admitted) << "row " << i;
  }
  for (std::size_t i = 0; i < 6; ++i) {  // nil only at the top
    EXPECT_TRUE(interface->checkCall(kRun, runWith(i, IpcValue())).ok()) << i;
  }
  EXPECT_FALSE(interface->checkCall("pingWithReply", {}).ok()) << "unknown selector";
  EXPECT_FALSE(interface->checkReply("cancelWithRunID:", {}).ok()) << "cancel has no reply";
  // Only cancel is one-way: it alone may, and must, come with call ID 0.
  EXPECT_EQ(interface->checkCall("cancelWithRunID:", {str("r")}).value(), false);
}

// Nil reads as empty; what the class sets admit yet is not the declared
// shape is refused before the method is entered. That absent and empty
// input cross as themselves, the proxy's test shows through the transport.
TEST(HelperInterface, BindingReadsNilAsEmptyAndRefusesOtherShapes) {
  ExportedObject object(std::make_shared<zefra::testing::PingOnlyHelper>());
  EXPECT_TRUE(object.bind(kRun, std::vector<IpcValue>(6), {}).ok());
  EXPECT_TRUE(object.bind("cancelWithRunID:", {IpcValue()}, {}).ok());
  const std::string withOptions = selectorName(S::kRunWithOptions);
  for (const auto& arguments :
       {runWith(2, str("-o")), runWith(2, list({list({str("a")})})), runWith(5, str("LANG=C")),
        runWith(5, dict("A", dict("B", str("")))), runWith(6, dict("stream", integer(1)))}) {
    EXPECT_FALSE(object.bind(arguments.size() == 7 ? withOptions : kRun, arguments, {}).ok());
  }
}

// The options dictionary admits numbers, booleans and the list of folders,
// nowhere else they could hide; its keys and kinds are read strictly. That
// each option reaches the run is the built client's to show (end-to-end and
// run containment tests).
TEST(HelperInterface, RunOptionsAreReadStrictly) {
  const auto yes = IpcValue::boolean(true);
  EXPECT_EQ(readRunOptions(IpcValue()).value().outputLimit, std::nullopt);
  for (const IpcValue& refused :
       {dict("stream", integer(1)), dict("timeout", IpcValue::real(-1)),
        dict("timeout", IpcValue::real(std::numeric_limits<double>::quiet_NaN())),
        dict("timeout", IpcValue::real(std::numeric_limits<double>::infinity())),
        dict("outputLimit", integer(-1)), dict("outputLimit", IpcValue::real(1)),
        dict("memoryLimit", integer(1)), IpcValue::map({{integer(1), yes}}), yes,
        dict("noNetwork", integer(1)), dict("confine", str("/a")),
        dict("confine", list({integer(1)})), dict("stream", list({yes}))}) {
    EXPECT_FALSE(readRunOptions(refused).ok());
  }
}

}  // namespace
}  // namespace zefra::xpc
