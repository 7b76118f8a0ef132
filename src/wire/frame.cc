#include "wire/frame.h"

#include <cstring>
#include <string>

namespace zefra::wire {

Result<EncodedFrame> encodeFrame(std::vector<IpcValue> message, std::uint32_t maxBody) {
  Result<EncodedMessage> encoded = encodeMessage(std::move(message), kFrameHeaderSize);
  if (!encoded) return encoded.error();
  EncodedFrame frame;
  frame.message_ = std::move(encoded).value();
  const std::size_t body = frame.message_.size() - kFrameHeaderSize;
  if (body > maxBody) {
    return ipcViolation("message of " + std::to_string(body) + " bytes exceeds the limit of " +
                            std::to_string(maxBody),
                        base::ErrorKind::kLimitExceeded);
  }
  auto* header = reinterpret_cast<unsigned char*>(frame.message_.headerRoom());
  header[0] = static_cast<unsigned char>(body >> 24);
  header[1] = static_cast<unsigned char>(body >> 16);
  header[2] = static_cast<unsigned char>(body >> 8);
  header[3] = static_cast<unsigned char>(body);
  return frame;
}

FrameReader::FrameReader(std::uint32_t maxBody)
    : maxBody_(maxBody), staging_(std::make_unique_for_overwrite<char[]>(kStagingSize)) {}

bool FrameReader::midFrame() const {
  return large_ != nullptr || end_ > begin_;
}

std::span<char> FrameReader::readSpace() {
  if (large_) return {large_.get() + largeFill_, largeSize_ - largeFill_};
  if (end_ == kStagingSize) {
    // Only a partial small frame is left: move it to the front.
    std::memmove(staging_.get(), staging_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  return {staging_.get() + end_, kStagingSize - end_};
}

void FrameReader::commit(std::size_t count) {
  if (large_) {
    largeFill_ += count;
  } else {
    end_ += count;
  }
}

Result<std::optional<FrameBody>> FrameReader::next() {
  if (large_) {
    if (largeFill_ < largeSize_) return std::optional<FrameBody>();
    FrameBody body{std::move(large_), largeSize_};
    large_.reset();
    largeSize_ = largeFill_ = 0;
    return std::optional<FrameBody>(std::move(body));
  }
  const std::size_t available = end_ - begin_;
  if (available < kFrameHeaderSize) return std::optional<FrameBody>();
  const auto* header = reinterpret_cast<const unsigned char*>(staging_.get() + begin_);
  const std::uint32_t length = (std::uint32_t{header[0]} << 24) | (std::uint32_t{header[1]} << 16) |
                               (std::uint32_t{header[2]} << 8) | std::uint32_t{header[3]};
  if (length > maxBody_) {
    return ipcViolation("frame of " + std::to_string(length) + " bytes exceeds the limit of " +
                            std::to_string(maxBody_),
                        base::ErrorKind::kLimitExceeded);
  }
  const std::size_t present = std::min<std::size_t>(available - kFrameHeaderSize, length);
  if (length <= kLargeFrame && present < length) return std::optional<FrameBody>();

  std::shared_ptr<char[]> storage = std::make_unique_for_overwrite<char[]>(length);
  std::memcpy(storage.get(), staging_.get() + begin_ + kFrameHeaderSize, present);
  begin_ += kFrameHeaderSize + present;
  if (begin_ == end_) begin_ = end_ = 0;
  if (present < length) {
    large_ = std::move(storage);
    largeSize_ = length;
    largeFill_ = present;
    return std::optional<FrameBody>();
  }
  return std::optional<FrameBody>(FrameBody{std::move(storage), length});
}

Result<std::vector<IpcValue>> decodeFrameBody(const FrameBody& body) {
  return decodeMessage(body.storage, body.storage.get(), body.size);
}

}  // namespace zefra::wire
