#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace zefra::base {

// Immutable bytes that share their storage: a captured stream, or a slice of
// a received frame, travels to the socket or to the caller without a copy.
class Bytes {
 public:
  Bytes() = default;
  explicit Bytes(std::string owned) {
    auto holder = std::make_shared<const std::string>(std::move(owned));
    data_ = holder->data();
    size_ = holder->size();
    owner_ = std::move(holder);
  }
  // A view into storage that `owner` keeps alive.
  Bytes(std::shared_ptr<const void> owner, const char* data, std::size_t size)
      : owner_(std::move(owner)), data_(data), size_(size) {}
  static Bytes copy(std::string_view view) { return Bytes(std::string(view)); }

  const char* data() const { return size_ ? data_ : ""; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::string_view view() const { return {data(), size_}; }
  std::string str() const { return std::string(view()); }
  friend bool operator==(const Bytes& a, const Bytes& b) { return a.view() == b.view(); }

 private:
  std::shared_ptr<const void> owner_;
  const char* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace zefra::base

namespace zefra {
using base::Bytes;
}  // namespace zefra
