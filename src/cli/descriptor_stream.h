#pragma once

#include <cerrno>
#include <iostream>
#include <mutex>
#include <streambuf>
#include <string_view>

#include "platform/files/pipe_io.h"

namespace zefra::client {

// A stream buffer that writes to a descriptor through writeAll, so that a
// standard stream another program made non-blocking, full for a moment, is
// waited on rather than taken for a failed write. Unbuffered, and each piece
// written whole under a lock, as the standard streams are safe to share
// between threads.
class DescriptorBuffer final : public std::streambuf {
 public:
  explicit DescriptorBuffer(int fd) : fd_(fd) {}

  // The errno of the first write that failed; 0 while none has.
  int failure() {
    std::lock_guard lock(mu_);
    return failure_;
  }

 protected:
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    std::lock_guard lock(mu_);
    auto written = platform::writeAll(fd_, {text, static_cast<std::size_t>(count)});
    if (written) return count;
    failure_ = written.error().code;
    return 0;
  }

  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char one = traits_type::to_char_type(c);
    return xsputn(&one, 1) == 1 ? c : traits_type::eof();
  }

 private:
  const int fd_;
  std::mutex mu_;
  int failure_ = 0;  // mu_
};

// Points a standard stream at a DescriptorBuffer while it lives.
class StreamOverDescriptor {
 public:
  StreamOverDescriptor(std::ostream& stream, int fd)
      : stream_(stream), buffer_(fd), previous_(stream.rdbuf(&buffer_)) {}
  ~StreamOverDescriptor() {
    stream_.flush();
    stream_.rdbuf(previous_);
  }
  StreamOverDescriptor(const StreamOverDescriptor&) = delete;
  StreamOverDescriptor& operator=(const StreamOverDescriptor&) = delete;

  // 0 while everything written went out; else the errno of the first failure.
  int failure() { return buffer_.failure(); }

 private:
  std::ostream& stream_;
  DescriptorBuffer buffer_;
  std::streambuf* previous_;
};

}  // namespace zefra::client
