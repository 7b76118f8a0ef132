#include "wire/codec.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <msgpack.hpp>
#include <set>
#include <utility>

#include "wire/utf8.h"

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

Status pack(Packer& packer, const IpcValue& value) {
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
    case IpcValue::Kind::kString: {
      std::string_view text = value.asString();
      if (!isValidUtf8(text)) return ipcViolation("string is not valid UTF-8");
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
        if (Status status = pack(packer, element); !status) return status;
      }
      break;
    case IpcValue::Kind::kMap:
      packer.pack_map(static_cast<std::uint32_t>(value.entries().size()));
      for (const IpcMapEntry& entry : value.entries()) {
        if (Status status = pack(packer, entry.key); !status) return status;
        if (Status status = pack(packer, entry.value); !status) return status;
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
      if (Status status = pack(packer, value); !status) return status.error();
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

namespace {

// More elements than any call of the protocol could need, few enough that an
// announced count cannot make the decoder reserve much memory.
constexpr std::size_t kMaxElements = 1 << 20;

class Converter {
 public:
  explicit Converter(std::shared_ptr<const void> owner) : owner_(std::move(owner)) {}

  Result<IpcValue> convert(const msgpack::object& o, bool inCollection) {
    switch (o.type) {
      case msgpack::type::NIL:
        if (inCollection) return ipcViolation("nil inside a collection");
        return IpcValue();
      case msgpack::type::BOOLEAN:
        return IpcValue::boolean(o.via.boolean);
      case msgpack::type::POSITIVE_INTEGER:
        if (o.via.u64 > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
          return ipcViolation("integer out of range");
        }
        return IpcValue::integer(static_cast<std::int64_t>(o.via.u64));
      case msgpack::type::NEGATIVE_INTEGER:
        return IpcValue::integer(o.via.i64);
      case msgpack::type::STR: {
        std::string_view text(o.via.str.ptr, o.via.str.size);
        if (!isValidUtf8(text)) return ipcViolation("string is not valid UTF-8");
        return IpcValue::string(view(o.via.str.ptr, o.via.str.size));
      }
      case msgpack::type::BIN:
        return IpcValue::data(view(o.via.bin.ptr, o.via.bin.size));
      case msgpack::type::ARRAY: {
        IpcValue::Array elements;
        elements.reserve(o.via.array.size);
        for (std::uint32_t i = 0; i < o.via.array.size; ++i) {
          Result<IpcValue> element = convert(o.via.array.ptr[i], true);
          if (!element) return element.error();
          elements.push_back(std::move(element).value());
        }
        return IpcValue::array(std::move(elements));
      }
      case msgpack::type::MAP:
        return convertMap(o);
      default:
        return ipcViolation("unsupported MessagePack type");
    }
  }

 private:
  Bytes view(const char* data, std::uint32_t size) const { return Bytes(owner_, data, size); }

  Result<IpcValue> convertMap(const msgpack::object& o) {
    IpcValue::Map entries;
    entries.reserve(o.via.map.size);
    std::set<std::pair<int, std::string_view>> textKeys;
    std::set<std::pair<int, std::int64_t>> scalarKeys;
    for (std::uint32_t i = 0; i < o.via.map.size; ++i) {
      Result<IpcValue> key = convert(o.via.map.ptr[i].key, true);
      if (!key) return key.error();
      bool fresh = true;
      switch (key->kind()) {
        case IpcValue::Kind::kString:
        case IpcValue::Kind::kData:
          fresh = textKeys.emplace(static_cast<int>(key->kind()), key->bytes().view()).second;
          break;
        case IpcValue::Kind::kInt:
          fresh = scalarKeys.emplace(0, key->asInt()).second;
          break;
        case IpcValue::Kind::kBool:
          fresh = scalarKeys.emplace(1, key->asBool()).second;
          break;
        default:
          return ipcViolation("map key is not a scalar");
      }
      if (!fresh) return ipcViolation("duplicate map key");
      Result<IpcValue> value = convert(o.via.map.ptr[i].val, true);
      if (!value) return value.error();
      entries.push_back({std::move(key).value(), std::move(value).value()});
    }
    return IpcValue::map(std::move(entries));
  }

  std::shared_ptr<const void> owner_;
};

}  // namespace

Result<std::vector<IpcValue>> decodeMessage(std::shared_ptr<const void> owner, const char* data,
                                            std::size_t size) {
  if (size == 0) return ipcViolation("empty message");
  const msgpack::unpack_limit limit(std::min(size, kMaxElements), std::min(size / 2, kMaxElements),
                                    size, size, 0, kIpcMaxDepth);
  // Strings and data stay in the frame buffer; the converter views them there.
  auto reference = [](msgpack::type::object_type, std::size_t, void*) { return true; };
  try {
    std::size_t offset = 0;
    msgpack::object_handle handle = msgpack::unpack(data, size, offset, reference, nullptr, limit);
    if (offset != size) return ipcViolation("trailing bytes after the message");
    const msgpack::object& root = handle.get();
    if (root.type != msgpack::type::ARRAY) return ipcViolation("message is not an array");
    Converter converter(std::move(owner));
    std::vector<IpcValue> values;
    values.reserve(root.via.array.size);
    for (std::uint32_t i = 0; i < root.via.array.size; ++i) {
      Result<IpcValue> value = converter.convert(root.via.array.ptr[i], false);
      if (!value) return value.error();
      values.push_back(std::move(value).value());
    }
    return values;
  } catch (const std::bad_alloc&) {
    return Error{ENOMEM, "cannot decode message: out of memory"};
  } catch (const std::exception& e) {
    return ipcViolation(std::string("malformed MessagePack: ") + e.what());
  }
}

}  // namespace zefra::wire
