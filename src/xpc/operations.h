#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "ipc/exported_interface.h"
#include "wire/value.h"
#include "xpc/protocol.h"
#include "xpc/run_options_wire.h"
#include "xpc/wire_types.h"

// Each operation of ZefraHelperProtocol, declared once: its selector, the
// types of its arguments and reply, the classes each object position
// admits, and where its calls run (a method whose calls run on the I/O
// thread returns at once and hands long work on itself, as a run does to
// the pool). The interface check, the exported object and the client proxy are
// all derived from this table.
namespace zefra::xpc {

using ipc::CallPlace;

// The object classes that may cross the connection.
// kNumber covers integers, floats and booleans inside a collection.
enum class ObjectClass : std::uint8_t { kString, kData, kArray, kDictionary, kNumber };

class ClassSet {
 public:
  constexpr ClassSet() = default;
  constexpr ClassSet(std::initializer_list<ObjectClass> classes) {
    for (ObjectClass c : classes) bits_ |= bit(c);
  }
  constexpr bool contains(ObjectClass c) const { return (bits_ & bit(c)) != 0; }
  friend constexpr bool operator==(ClassSet, ClassSet) = default;

 private:
  static constexpr std::uint8_t bit(ObjectClass c) {
    return static_cast<std::uint8_t>(1u << static_cast<unsigned>(c));
  }
  std::uint8_t bits_ = 0;
};

// One argument or reply position: an object of an allowed class (nil allowed
// at the top level, never inside a collection), or a scalar.
struct Position {
  enum class Kind { kObject, kInt32, kBool };
  Kind kind = Kind::kObject;
  ClassSet classes;
  friend bool operator==(const Position&, const Position&) = default;
};

// How one type of the protocol crosses the wire: its position as declared
// (an object admits its own class until the interface says otherwise), and
// its reader and writer.
template <class T>
struct WireType;

template <>
struct WireType<std::string> {
  static constexpr Position position{Position::Kind::kObject, {ObjectClass::kString}};
  static Result<std::string> read(const IpcValue& v) { return readString(v); }
  static IpcValue write(std::string v, BadText bad) { return writeString(std::move(v), bad); }
};
template <>
struct WireType<std::optional<std::string>> {
  static constexpr Position position = WireType<std::string>::position;
  static Result<std::optional<std::string>> read(const IpcValue& v) {
    return readOptionalString(v);
  }
  static IpcValue write(std::optional<std::string> v, BadText bad) {
    return v ? writeString(std::move(*v), bad) : IpcValue();
  }
};
template <>
struct WireType<std::vector<std::string>> {
  static constexpr Position position{Position::Kind::kObject, {ObjectClass::kArray}};
  static Result<std::vector<std::string>> read(const IpcValue& v) { return readStringList(v); }
  static IpcValue write(const std::vector<std::string>& v, BadText bad) {
    return writeStringList(v, bad);
  }
};
template <>
struct WireType<Bytes> {
  static constexpr Position position{Position::Kind::kObject, {ObjectClass::kData}};
  static Result<Bytes> read(const IpcValue& v) { return readData(v); }
  static IpcValue write(Bytes v, BadText) { return IpcValue::data(std::move(v)); }
};
template <>
struct WireType<std::optional<Bytes>> {
  static constexpr Position position = WireType<Bytes>::position;
  static Result<std::optional<Bytes>> read(const IpcValue& v) { return readOptionalData(v); }
  static IpcValue write(std::optional<Bytes> v, BadText) {
    return v ? IpcValue::data(std::move(*v)) : IpcValue();
  }
};
template <>
struct WireType<Environment> {
  static constexpr Position position{Position::Kind::kObject, {ObjectClass::kDictionary}};
  static Result<Environment> read(const IpcValue& v) { return readStringMap(v); }
  static IpcValue write(const Environment& v, BadText bad) { return writeStringMap(v, bad); }
};
template <>
struct WireType<Inventory> {
  static constexpr Position position = WireType<Environment>::position;
  static Result<Inventory> read(const IpcValue& v) { return readInventory(v); }
  static IpcValue write(const Inventory& v, BadText bad) { return writeInventory(v, bad); }
};
template <>
struct WireType<RunOptions> {
  static constexpr Position position{Position::Kind::kObject, {ObjectClass::kDictionary}};
  static Result<RunOptions> read(const IpcValue& v) { return readRunOptions(v); }
  static IpcValue write(const RunOptions& v, BadText) { return writeRunOptions(v); }
};
template <>
struct WireType<RunOutcome> {
  static constexpr Position position{Position::Kind::kObject, {ObjectClass::kDictionary}};
  static Result<RunOutcome> read(const IpcValue& v) { return readRunOutcome(v); }
  static IpcValue write(RunOutcome v, BadText bad) { return writeRunOutcome(std::move(v), bad); }
};
template <>
struct WireType<std::int32_t> {
  static constexpr Position position{Position::Kind::kInt32, {}};
  static Result<std::int32_t> read(const IpcValue& v) {
    return static_cast<std::int32_t>(v.asInt());
  }
  static IpcValue write(std::int32_t v, BadText) { return IpcValue::integer(v); }
};
template <>
struct WireType<bool> {
  static constexpr Position position{Position::Kind::kBool, {}};
  static Result<bool> read(const IpcValue& v) { return v.asBool(); }
  static IpcValue write(bool v, BadText) { return IpcValue::boolean(v); }
};

template <class... T>
struct Values {
  using Tuple = std::tuple<T...>;
};
// The reply of a one-way operation: none, and no reply expected.
struct NoReply : Values<> {};

inline constexpr ClassSet kStrings{ObjectClass::kString};
inline constexpr ClassSet kStringArrays{ObjectClass::kArray, ObjectClass::kString};
inline constexpr ClassSet kStringDictionaries{ObjectClass::kDictionary, ObjectClass::kString};
inline constexpr ClassSet kData{ObjectClass::kData};
inline constexpr ClassSet kScalar{};  // for a scalar position: nothing to set
inline constexpr ClassSet kRunOptionDictionaries{ObjectClass::kDictionary, ObjectClass::kArray,
                                                 ObjectClass::kString, ObjectClass::kNumber};
inline constexpr ClassSet kRunOutcomeDictionaries{ObjectClass::kDictionary, ObjectClass::kString,
                                                  ObjectClass::kData, ObjectClass::kNumber};

struct PingOperation {
  static constexpr Selector selector = Selector::kPing;
  static constexpr const char* name = "pingWithReply:";
  static constexpr auto method = &ZefraHelperProtocol::pingWithReply;
  static constexpr CallPlace place = CallPlace::kIoThread;
  using Arguments = Values<>;
  using Reply = Values<std::string>;
  static constexpr std::array<ClassSet, 0> argumentClasses{};
  static constexpr std::array replyClasses{kStrings};
};

struct ToolInventoryOperation {
  static constexpr Selector selector = Selector::kToolInventory;
  static constexpr const char* name = "toolInventoryWithReply:";
  static constexpr auto method = &ZefraHelperProtocol::toolInventoryWithReply;
  static constexpr CallPlace place = CallPlace::kIoThread;
  using Arguments = Values<>;
  using Reply = Values<Inventory>;
  static constexpr std::array<ClassSet, 0> argumentClasses{};
  static constexpr std::array replyClasses{kStringDictionaries};
};

struct RunOperation {
  static constexpr Selector selector = Selector::kRun;
  static constexpr const char* name =
      "runWithRunID:tool:arguments:input:workingDirectory:environment:reply:";
  static constexpr auto method = &ZefraHelperProtocol::runWithRunID;
  static constexpr CallPlace place = CallPlace::kIoThread;
  using Arguments = Values<std::string, std::string, std::vector<std::string>, std::optional<Bytes>,
                           std::optional<std::string>, Environment>;
  using Reply = Values<Bytes, Bytes, std::int32_t>;
  static constexpr std::array argumentClasses{kStrings, kStrings, kStringArrays,
                                              kData,    kStrings, kStringDictionaries};
  static constexpr std::array replyClasses{kData, kData, kScalar};
};

struct CancelOperation {
  static constexpr Selector selector = Selector::kCancel;
  static constexpr const char* name = "cancelWithRunID:";
  static constexpr auto method = &ZefraHelperProtocol::cancelWithRunID;
  // Ending a run walks the process table.
  static constexpr CallPlace place = CallPlace::kInOrder;
  using Arguments = Values<std::string>;
  using Reply = NoReply;
  static constexpr std::array argumentClasses{kStrings};
  static constexpr std::array<ClassSet, 0> replyClasses{};
};

struct PrepareForUpdateOperation {
  static constexpr Selector selector = Selector::kPrepareForUpdate;
  static constexpr const char* name = "prepareForUpdateWithReply:";
  static constexpr auto method = &ZefraHelperProtocol::prepareForUpdateWithReply;
  static constexpr CallPlace place = CallPlace::kIoThread;
  using Arguments = Values<>;
  using Reply = Values<bool>;
  static constexpr std::array<ClassSet, 0> argumentClasses{};
  static constexpr std::array replyClasses{kScalar};
};

struct InstallUpdateOperation {
  static constexpr Selector selector = Selector::kInstallUpdate;
  static constexpr const char* name = "installUpdateFromZipAt:reply:";
  static constexpr auto method = &ZefraHelperProtocol::installUpdateFromZipAt;
  static constexpr CallPlace place = CallPlace::kIoThread;
  using Arguments = Values<std::string>;
  using Reply = Values<bool, std::string>;
  static constexpr std::array argumentClasses{kStrings};
  static constexpr std::array replyClasses{kScalar, kStrings};
};

// The run with options. A streaming run's chunks travel as progress of the
// call, [3, callID, stream, chunk], before its reply.
struct RunWithOptionsOperation {
  static constexpr Selector selector = Selector::kRunWithOptions;
  static constexpr const char* name =
      "runWithRunID:tool:arguments:input:workingDirectory:environment:options:reply:";
  static constexpr auto method = &ZefraHelperProtocol::runWithOptions;
  static constexpr CallPlace place = CallPlace::kIoThread;
  using Arguments = Values<std::string, std::string, std::vector<std::string>, std::optional<Bytes>,
                           std::optional<std::string>, Environment, RunOptions>;
  using Reply = Values<RunOutcome>;
  using Output = RunOutput;
  static constexpr std::array argumentClasses{kStrings,
                                              kStrings,
                                              kStringArrays,
                                              kData,
                                              kStrings,
                                              kStringDictionaries,
                                              kRunOptionDictionaries};
  static constexpr std::array replyClasses{kRunOutcomeDictionaries};
};

// In Selector order.
using Operations =
    std::tuple<PingOperation, ToolInventoryOperation, RunOperation, CancelOperation,
               PrepareForUpdateOperation, InstallUpdateOperation, RunWithOptionsOperation>;
static_assert(std::tuple_size_v<Operations> == kSelectorCount);
static_assert([]<std::size_t... I>(std::index_sequence<I...>) {
  return ((std::tuple_element_t<I, Operations>::selector == static_cast<Selector>(I)) && ...);
}(std::make_index_sequence<kSelectorCount>{}));

template <class Op>
inline constexpr bool kOneWay = std::is_same_v<typename Op::Reply, NoReply>;
// Operations whose method also takes where the call's progress goes.
template <class Op>
inline constexpr bool kHasOutput = requires {
  typename Op::Output;
};

template <class F>
constexpr void forEachOperation(F&& f) {
  std::apply([&](auto... op) { (f(op), ...); }, Operations{});
}

template <class... T>
std::vector<Position> positionsOf(Values<T...>) {
  return {WireType<T>::position...};
}

// Reads values the interface has admitted and checks their shape; the first
// value that does not fit is the error.
template <class... T>
Result<std::tuple<T...>> readValues(Values<T...>, const std::vector<IpcValue>& values) {
  // Only a connection paired with another interface could get here short.
  if (values.size() != sizeof...(T)) return wire::ipcViolation("values of the wrong count");
  std::tuple<T...> out;
  std::optional<base::Error> failed;
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (
        [&] {
          if (failed) return;
          Result<T> read = WireType<T>::read(values[I]);
          if (read) {
            std::get<I>(out) = std::move(read).value();
          } else {
            failed = read.error();
          }
        }(),
        ...);
  }
  (std::index_sequence_for<T...>{});
  if (failed) return *failed;
  return out;
}

template <class... T, class... A>
std::vector<IpcValue> writeValues(Values<T...>, [[maybe_unused]] BadText bad, A&&... values) {
  static_assert(sizeof...(T) == sizeof...(A));
  std::vector<IpcValue> out;
  out.reserve(sizeof...(T));
  (out.push_back(WireType<T>::write(T(std::forward<A>(values)), bad)), ...);
  return out;
}

}  // namespace zefra::xpc
