#include "wire/codec.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <msgpack.hpp>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "base/utf8.h"

namespace zefra::wire {

// ---------------------------------------------------------------- encoding

struct EncodedMessage::Impl {
  // Bodies of 512 bytes and more are referenced; smaller ones are copied
  // into the buffer's chunks, which keeps the chunk list short.
  msgpack::vrefbuffer buffer{512, 8192};
  std::vector<IpcValue> keepAlive;
};

EncodedMessage::EncodedMessage() = default;
EncodedMessage::EncodedMessage(EncodedMessage&&) noexcept = default;
EncodedMessage& EncodedMessage::operator=(EncodedMessage&&) noexcept = default;
EncodedMessage::~EncodedMessage() = default;

std::span<const iovec> EncodedMessage::chunks() const {
  if (!impl_) return {};
  return {impl_->buffer.vector(), impl_->buffer.vector_size()};
}

char* EncodedMessage::headerRoom() {
  return static_cast<char*>(const_cast<void*>(impl_->buffer.vector()[0].iov_base));
}

namespace {

using Packer = msgpack::packer<msgpack::vrefbuffer>;

// msgpack-c packs a whole-valued double as an integer, so 2.0 would arrive
// as 2 and -0.0 as 0: a float goes out as a 64-bit float, bit for bit.
void packReal(msgpack::vrefbuffer& buffer, double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  char out[9];
  out[0] = static_cast<char>(0xcb);
  for (int i = 0; i < 8; ++i) out[1 + i] = static_cast<char>(bits >> (56 - 8 * i));
  buffer.append_copy(out, sizeof out);
}

Status pack(Packer& packer, msgpack::vrefbuffer& buffer, const IpcValue& value) {
  constexpr std::size_t kMaxLength = std::numeric_limits<std::uint32_t>::max();
  switch (value.kind()) {
    case IpcValue::Kind::kNil:
      packer.pack_nil();
      break;
    case IpcValue::Kind::kBool:
      value.asBool() ? packer.pack_true() : packer.pack_false();
      break;
    case IpcValue::Kind::kInt:
      packer.pack_int64(value.asInt());
      break;
    case IpcValue::Kind::kReal:
      packReal(buffer, value.asReal());
      break;
    case IpcValue::Kind::kString: {
      std::string_view text = value.asString();
      if (!base::isValidUtf8(text))
        return ipcViolation("string is not valid UTF-8", base::ErrorKind::kNotUtf8);
      if (text.size() > kMaxLength) return ipcViolation("string too long");
      packer.pack_str(static_cast<std::uint32_t>(text.size()));
      packer.pack_str_body(text.data(), static_cast<std::uint32_t>(text.size()));
      break;
    }
    case IpcValue::Kind::kData: {
      const Bytes& bytes = value.bytes();
      if (bytes.size() > kMaxLength) return ipcViolation("data too long");
      packer.pack_bin(static_cast<std::uint32_t>(bytes.size()));
      packer.pack_bin_body(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
      break;
    }
    case IpcValue::Kind::kArray:
      packer.pack_array(static_cast<std::uint32_t>(value.elements().size()));
      for (const IpcValue& element : value.elements()) {
        if (Status status = pack(packer, buffer, element); !status) return status;
      }
      break;
    case IpcValue::Kind::kMap:
      packer.pack_map(static_cast<std::uint32_t>(value.entries().size()));
      for (const IpcMapEntry& entry : value.entries()) {
        if (Status status = pack(packer, buffer, entry.key); !status) return status;
        if (Status status = pack(packer, buffer, entry.value); !status) return status;
      }
      break;
  }
  return Ok{};
}

}  // namespace

Result<EncodedMessage> encodeMessage(std::vector<IpcValue> values, std::size_t headerRoom) {
  EncodedMessage message;
  try {
    message.impl_ = std::make_unique<EncodedMessage::Impl>();
    msgpack::vrefbuffer& buffer = message.impl_->buffer;
    if (headerRoom > 0) {
      const char zeros[16] = {};
      buffer.append_copy(zeros, std::min(headerRoom, sizeof zeros));
    }
    Packer packer(buffer);
    packer.pack_array(static_cast<std::uint32_t>(values.size()));
    for (const IpcValue& value : values) {
      if (Status status = pack(packer, buffer, value); !status) return status.error();
    }
  } catch (const std::exception& e) {
    return Error{ENOMEM, std::string("cannot encode message: ") + e.what()};
  }
  std::size_t size = 0;
  for (const iovec& chunk : message.chunks()) size += chunk.iov_len;
  message.size_ = size;
  message.impl_->keepAlive = std::move(values);
  return message;
}

// ---------------------------------------------------------------- decoding

std::size_t maxDecodedValues(std::size_t bodySize) {
  return std::min(bodySize, kFreeValues + bodySize / kBytesPerValue);
}

namespace {

// Builds the values straight from the parser's events: no intermediate
// object tree, and every count checked against the frame's budget before
// anything is reserved for it.
class Builder {
 public:
  Builder(std::shared_ptr<const void> owner, std::size_t bodySize)
      : owner_(std::move(owner)), budget_(maxDecodedValues(bodySize)) {}

  bool visit_nil() {
    if (stack_.size() > 1) return refuse("nil inside a collection");
    return add(IpcValue());
  }
  bool visit_boolean(bool v) { return add(IpcValue::boolean(v)); }
  bool visit_positive_integer(std::uint64_t v) {
    if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return refuse("integer out of range");
    }
    return add(IpcValue::integer(static_cast<std::int64_t>(v)));
  }
  bool visit_negative_integer(std::int64_t v) { return add(IpcValue::integer(v)); }
  bool visit_float32(float v) { return add(IpcValue::real(v)); }
  bool visit_float64(double v) { return add(IpcValue::real(v)); }
  bool visit_ext(const char*, std::uint32_t) { return refuse("unsupported MessagePack type"); }
  bool visit_str(const char* data, std::uint32_t size) {
    if (!base::isValidUtf8(std::string_view(data, size)))
      return refuse("string is not valid UTF-8");
    return add(IpcValue::string(Bytes(owner_, data, size)));
  }
  bool visit_bin(const char* data, std::uint32_t size) {
    return add(IpcValue::data(Bytes(owner_, data, size)));
  }

  bool start_array(std::uint32_t count) { return open(false, count, count); }
  bool end_array() {
    Open done = std::move(stack_.back());
    stack_.pop_back();
    if (stack_.empty()) {
      values_ = std::move(done.elements);
      return true;
    }
    return add(IpcValue::array(std::move(done.elements)));
  }
  bool start_map(std::uint32_t count) {
    if (stack_.empty()) return refuse("message is not an array");
    return open(true, count, std::uint64_t{count} * 2);
  }
  bool start_map_key() {
    stack_.back().inKey = true;
    return true;
  }
  bool start_map_value() {
    stack_.back().inKey = false;
    return true;
  }
  bool end_map() {
    Open done = std::move(stack_.back());
    stack_.pop_back();
    return add(IpcValue::map(std::move(done.entries)));
  }
  bool start_array_item() { return true; }
  bool end_array_item() { return true; }
  bool end_map_key() { return true; }
  bool end_map_value() { return true; }

  void parse_error(std::size_t, std::size_t) { refuse("malformed MessagePack"); }
  void insufficient_bytes(std::size_t, std::size_t) { refuse("truncated MessagePack"); }
  bool referenced() const { return true; }
  void set_referenced(bool) {}

  const std::optional<std::string>& problem() const { return problem_; }
  std::vector<IpcValue> take() { return std::move(values_); }

 private:
  struct Open {
    bool isMap = false;
    bool inKey = false;
    IpcValue::Array elements;
    IpcValue::Map entries;
    IpcValue key;
    std::set<std::pair<int, std::string_view>> textKeys;
    std::set<std::pair<int, std::int64_t>> scalarKeys;
  };

  bool refuse(std::string why) {
    if (!problem_) problem_ = std::move(why);
    return false;
  }

  // `values` is what the container announces; the announcement alone counts
  // against the budget, so a short frame cannot make us reserve much.
  bool open(bool isMap, std::uint32_t count, std::uint64_t values) {
    if (!stack_.empty() && stack_.back().isMap && stack_.back().inKey) {
      return refuse("map key is not a scalar");
    }
    if (stack_.size() >= static_cast<std::size_t>(kIpcMaxDepth)) {
      return refuse("nesting deeper than " + std::to_string(kIpcMaxDepth));
    }
    declared_ += values;
    if (declared_ > budget_) {
      return refuse("the message declares more values than its " + std::to_string(budget_) +
                    " allowed for its size");
    }
    Open& opened = stack_.emplace_back();
    opened.isMap = isMap;
    if (isMap) {
      opened.entries.reserve(count);
    } else {
      opened.elements.reserve(count);
    }
    return true;
  }

  bool add(IpcValue value) {
    if (stack_.empty()) return refuse("message is not an array");
    Open& top = stack_.back();
    if (!top.isMap) {
      top.elements.push_back(std::move(value));
      return true;
    }
    if (!top.inKey) {
      top.entries.push_back({std::move(top.key), std::move(value)});
      return true;
    }
    bool fresh = true;
    switch (value.kind()) {
      case IpcValue::Kind::kString:
      case IpcValue::Kind::kData:
        fresh = top.textKeys.emplace(static_cast<int>(value.kind()), value.bytes().view()).second;
        break;
      case IpcValue::Kind::kInt:
        fresh = top.scalarKeys.emplace(0, value.asInt()).second;
        break;
      case IpcValue::Kind::kBool:
        fresh = top.scalarKeys.emplace(1, value.asBool()).second;
        break;
      case IpcValue::Kind::kReal:  // NaN and -0.0 would make keys ambiguous
        return refuse("map key is a float");
      default:
        return refuse("map key is not a scalar");
    }
    if (!fresh) return refuse("duplicate map key");
    top.key = std::move(value);
    return true;
  }

  std::shared_ptr<const void> owner_;
  const std::uint64_t budget_;
  std::uint64_t declared_ = 1;  // the message array itself
  std::vector<Open> stack_;
  std::vector<IpcValue> values_;
  std::optional<std::string> problem_;
};

// Counts what a body announces, building nothing: a body beyond its budget
// is refused before a single value of it costs memory.
class Counter : public msgpack::null_visitor {
 public:
  explicit Counter(std::size_t bodySize) : budget_(maxDecodedValues(bodySize)) {}
  bool start_array(std::uint32_t count) { return open(count); }
  bool start_map(std::uint32_t count) { return open(std::uint64_t{count} * 2); }
  bool end_array() { return close(); }
  bool end_map() { return close(); }
  bool overBudget() const { return declared_ > budget_; }

 private:
  bool open(std::uint64_t values) {
    declared_ += values;
    return ++depth_ <= kIpcMaxDepth && declared_ <= budget_;
  }
  bool close() {
    --depth_;
    return true;
  }
  const std::uint64_t budget_;
  std::uint64_t declared_ = 1;
  int depth_ = 0;
};

}  // namespace

Result<std::vector<IpcValue>> decodeMessage(std::shared_ptr<const void> owner, const char* data,
                                            std::size_t size) {
  if (size == 0) return ipcViolation("empty message");
  try {
    // Up to kFreeValues bytes, a body cannot hold more values than allowed.
    if (size > kFreeValues) {
      Counter counter(size);
      std::size_t offset = 0;
      if (!msgpack::parse(data, size, offset, counter) && counter.overBudget()) {
        return ipcViolation("the message declares more values than the " +
                            std::to_string(maxDecodedValues(size)) + " allowed for its size");
      }
    }
    Builder builder(std::move(owner), size);
    std::size_t offset = 0;
    const bool parsed = msgpack::parse(data, size, offset, builder);
    if (builder.problem()) return ipcViolation(*builder.problem());
    if (!parsed) return ipcViolation("malformed MessagePack");
    if (offset != size) return ipcViolation("trailing bytes after the message");
    return builder.take();
  } catch (const std::bad_alloc&) {
    return Error{ENOMEM, "cannot decode message: out of memory"};
  } catch (const std::exception& e) {
    return ipcViolation(std::string("malformed MessagePack: ") + e.what());
  }
}

}  // namespace zefra::wire
