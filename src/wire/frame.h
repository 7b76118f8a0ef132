#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "base/result.h"
#include "wire/codec.h"

namespace zefra::wire {

// A frame: a 4-byte big-endian length, then a message body of that length.
inline constexpr std::size_t kFrameHeaderSize = 4;
// The largest call the helper reads.
inline constexpr std::uint32_t kMaxCallFrameSize = 64u << 20;
// Replies carry tool output and may be as large as the length field allows.
inline constexpr std::uint32_t kMaxReplyFrameSize = std::numeric_limits<std::uint32_t>::max();

// A message encoded with its frame header, ready for a gather write.
class EncodedFrame {
 public:
  EncodedFrame() = default;
  // The header and body as chunks; the header is the start of chunk 0.
  std::span<const iovec> chunks() const { return message_.chunks(); }
  std::size_t size() const { return message_.size(); }

 private:
  friend Result<EncodedFrame> encodeFrame(std::vector<IpcValue> message, std::uint32_t maxBody);
  EncodedMessage message_;
};

// Refuses a body larger than `maxBody` as well as what encodeMessage refuses.
Result<EncodedFrame> encodeFrame(std::vector<IpcValue> message,
                                 std::uint32_t maxBody = kMaxReplyFrameSize);

// One received frame body in storage of its own.
struct FrameBody {
  std::shared_ptr<const char[]> storage;
  std::size_t size = 0;
};

// Splits a byte stream into frame bodies. Small frames are gathered in a
// staging buffer; a large one is read straight into a buffer of its own
// length, so its data can be viewed without a copy.
class FrameReader {
 public:
  explicit FrameReader(std::uint32_t maxBody);
  FrameReader(const FrameReader&) = delete;
  FrameReader& operator=(const FrameReader&) = delete;

  // Where the next read lands; never empty.
  std::span<char> readSpace();
  void commit(std::size_t count);
  // The next complete body; nullopt when more bytes are needed; an error when
  // a frame announces more than `maxBody`.
  Result<std::optional<FrameBody>> next();
  // True while a frame has been started and not finished.
  bool midFrame() const;

 private:
  static constexpr std::size_t kStagingSize = 64 * 1024;
  static constexpr std::size_t kLargeFrame = 16 * 1024;

  std::uint32_t maxBody_;
  std::unique_ptr<char[]> staging_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::shared_ptr<char[]> large_;
  std::size_t largeSize_ = 0;
  std::size_t largeFill_ = 0;
};

// Decodes a received body (see decodeMessage); its values view into it.
Result<std::vector<IpcValue>> decodeFrameBody(const FrameBody& body);

}  // namespace zefra::wire
