#pragma once

#include <cerrno>
#include <iostream>
#include <streambuf>
#include <string_view>

#include "platform/files/pipe_io.h"

namespace zefra::client {

// A stream buffer that writes to a descriptor through writeAll, so that a
// standard stream another program made non-blocking, full for a moment, is
// waited on rather than taken for a failed write.
class DescriptorBuffer final : public std::streambuf {
 public:
  explicit DescriptorBuffer(int fd) : fd_(fd) { setp(buffer_, buffer_ + sizeof buffer_); }

 protected:
  int_type overflow(int_type c) override {
    if (sync() != 0) return traits_type::eof();
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
    return c;
  }

  int sync() override {
    const std::string_view pending(pbase(), static_cast<std::size_t>(pptr() - pbase()));
    setp(buffer_, buffer_ + sizeof buffer_);
    if (pending.empty()) return 0;
    auto written = platform::writeAll(fd_, pending);
    if (written) return 0;
    errno = written.error().code;
    return -1;
  }

 private:
  const int fd_;
  char buffer_[4096];
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

 private:
  std::ostream& stream_;
  DescriptorBuffer buffer_;
  std::streambuf* previous_;
};

}  // namespace zefra::client
