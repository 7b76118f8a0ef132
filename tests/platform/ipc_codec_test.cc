#include <gtest/gtest.h>

#include <cstring>
#include <msgpack.hpp>
#include <string>
#include <vector>

#include "platform/ipc_frame.h"
#include "platform/ipc_message.h"
#include "platform/ipc_value.h"

namespace zefra::platform {
namespace {

using Kind = IpcValue::Kind;

std::string flatten(const EncodedMessage& message) {
  std::string out;
  for (const iovec& chunk : message.chunks()) {
    out.append(static_cast<const char*>(chunk.iov_base), chunk.iov_len);
  }
  return out;
}

std::string flatten(const EncodedFrame& frame) {
  std::string out;
  for (const iovec& chunk : frame.chunks()) {
    out.append(static_cast<const char*>(chunk.iov_base), chunk.iov_len);
  }
  return out;
}

Result<std::vector<IpcValue>> decode(const std::string& body) {
  auto owner = std::make_shared<std::string>(body);
  return decodeMessage(owner, owner->data(), owner->size());
}

std::vector<IpcValue> roundTrip(std::vector<IpcValue> values) {
  Result<EncodedMessage> encoded = encodeMessage(std::move(values));
  EXPECT_TRUE(encoded.ok());
  Result<std::vector<IpcValue>> decoded = decode(flatten(*encoded));
  EXPECT_TRUE(decoded.ok()) << decoded.error().message;
  return decoded.ok() ? decoded.value() : std::vector<IpcValue>{};
}

// Raw MessagePack for what the encoder would never write.
template <class Build>
std::string raw(Build build) {
  msgpack::sbuffer buffer;
  msgpack::packer<msgpack::sbuffer> packer(buffer);
  build(packer);
  return std::string(buffer.data(), buffer.size());
}

std::string rawString(std::string_view bytes) {
  return raw([&](auto& p) {
    p.pack_array(1);
    p.pack_str(static_cast<uint32_t>(bytes.size()));
    p.pack_str_body(bytes.data(), static_cast<uint32_t>(bytes.size()));
  });
}

void expectViolation(const std::string& body, const std::string& what) {
  Result<std::vector<IpcValue>> decoded = decode(body);
  ASSERT_FALSE(decoded.ok()) << what;
  EXPECT_EQ(decoded.error().code, EPROTO) << what;
}

TEST(IpcValueCodec, NestedValuesRoundTrip) {
  IpcValue nested = IpcValue::map({
      {IpcValue::string("pandoc"),
       IpcValue::map({{IpcValue::string("path"), IpcValue::string("/usr/bin/pandoc")},
                      {IpcValue::string("version"), IpcValue::string("3.1 — é 𝄞")}})},
      {IpcValue::string("list"), IpcValue::array({IpcValue::string("a"), IpcValue::string("")})},
  });
  std::vector<IpcValue> values = {IpcValue(),
                                  IpcValue::boolean(true),
                                  IpcValue::integer(-2147483648LL),
                                  IpcValue::integer(INT64_MAX),
                                  IpcValue::data(Bytes::copy(std::string("\0\xff", 2))),
                                  IpcValue::data(Bytes()),
                                  IpcValue::string(""),
                                  nested};
  EXPECT_EQ(roundTrip(values), values);
}

TEST(IpcValueCodec, NilStaysDistinctFromEmpty) {
  std::vector<IpcValue> decoded =
      roundTrip({IpcValue(), IpcValue::data(Bytes()), IpcValue::string("")});
  ASSERT_EQ(decoded.size(), 3u);
  EXPECT_EQ(decoded[0].kind(), Kind::kNil);
  EXPECT_EQ(decoded[1].kind(), Kind::kData);
  EXPECT_EQ(decoded[2].kind(), Kind::kString);
}

TEST(IpcValueCodec, LargeDataIsReferencedBothWays) {
  Bytes payload(std::string(1 << 20, 'x'));
  Result<EncodedMessage> encoded = encodeMessage({IpcValue::data(payload)});
  ASSERT_TRUE(encoded.ok());
  bool referenced = false;
  for (const iovec& chunk : encoded->chunks()) referenced |= chunk.iov_base == payload.data();
  EXPECT_TRUE(referenced) << "the encoder copied the payload";

  auto body = std::make_shared<std::string>(flatten(*encoded));
  Result<std::vector<IpcValue>> decoded = decodeMessage(body, body->data(), body->size());
  ASSERT_TRUE(decoded.ok());
  const char* view = decoded->at(0).bytes().data();
  EXPECT_GE(view, body->data());
  EXPECT_LT(view, body->data() + body->size()) << "the decoder copied the payload";
}

TEST(IpcValueCodec, Utf8IsCheckedStrictly) {
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"\xC0\x80", "overlong two-byte NUL"},
      {"\xE0\x80\xAF", "overlong three-byte"},
      {"\xF0\x80\x80\xAF", "overlong four-byte"},
      {"\xED\xA0\x80", "surrogate"},
      {"\xF4\x90\x80\x80", "above U+10FFFF"},
      {"\xF5\x80\x80\x80", "lead byte beyond F4"},
      {"\x80", "stray continuation"},
      {"abc\xE2\x82", "truncated sequence"},
      {"12345678\xFF", "invalid byte after an ASCII run"},
  };
  for (const auto& [text, what] : bad) {
    EXPECT_FALSE(isValidUtf8(text)) << what;
    expectViolation(rawString(text), what);
    EXPECT_FALSE(encodeMessage({IpcValue::string(text)}).ok()) << what;
    EXPECT_TRUE(isValidUtf8(repairUtf8(text))) << what;
  }
  for (std::string good : {"", "plain", "\xC2\x80", "\xEF\xBF\xBF", "\xF4\x8F\xBF\xBF", "€𝄞"}) {
    EXPECT_TRUE(isValidUtf8(good)) << good;
    EXPECT_EQ(repairUtf8(good), good);
  }
  EXPECT_EQ(repairUtf8("a\xFF"
                       "b"),
            "a\xEF\xBF\xBD"
            "b");
}

TEST(IpcValueCodec, MalformedBodiesAreViolations) {
  std::string call = raw([](auto& p) {
    p.pack_array(1);
    p.pack_int(1);
  });
  expectViolation("", "empty body");
  expectViolation(call + "\x01", "trailing bytes");
  expectViolation(std::string("\x92\x01"), "truncated array");
  expectViolation(raw([](auto& p) { p.pack_int(3); }), "not an array");
  expectViolation(raw([](auto& p) {
                    p.pack_array(1);
                    p.pack_double(1.5);
                  }),
                  "float");
  expectViolation(raw([](auto& p) {
                    p.pack_array(1);
                    p.pack_ext(1, 7);
                    p.pack_ext_body("x", 1);
                  }),
                  "extension");
  expectViolation(raw([](auto& p) {
                    p.pack_array(1);
                    p.pack_uint64(UINT64_MAX);
                  }),
                  "integer beyond 64 signed bits");
  expectViolation(raw([](auto& p) {
                    p.pack_array(1);
                    p.pack_array(1);
                    p.pack_nil();
                  }),
                  "nil inside an array");
  expectViolation(raw([](auto& p) {
                    p.pack_array(1);
                    p.pack_map(1);
                    p.pack("k");
                    p.pack_nil();
                  }),
                  "nil inside a map");
  expectViolation(raw([](auto& p) {
                    p.pack_array(1);
                    p.pack_map(1);
                    p.pack_array(0);
                    p.pack("v");
                  }),
                  "collection as a key");
  expectViolation(raw([](auto& p) {
                    p.pack_array(1);
                    p.pack_map(2);
                    p.pack("PATH");
                    p.pack("/bin");
                    p.pack("PATH");
                    p.pack("/usr/bin");
                  }),
                  "duplicate key");
  expectViolation(raw([](auto& p) {
                    p.pack_array(1);
                    p.pack_array(0xffffffffu);
                  }),
                  "announced count beyond the body");
}

TEST(IpcValueCodec, NestingIsLimited) {
  auto nested = [](int depth) {
    return raw([depth](auto& p) {
      for (int i = 0; i < depth; ++i) p.pack_array(1);
      p.pack("leaf");
    });
  };
  EXPECT_TRUE(decode(nested(kIpcMaxDepth)).ok());
  expectViolation(nested(kIpcMaxDepth + 1), "too deep");
}

TEST(IpcFrame, EncodesLengthHeader) {
  Result<EncodedFrame> frame = encodeFrame({IpcValue::integer(1)});
  ASSERT_TRUE(frame.ok());
  std::string bytes = flatten(*frame);
  ASSERT_EQ(bytes.size(), 4u + 2u);
  EXPECT_EQ(bytes.substr(0, 4), std::string("\0\0\0\x02", 4));
  EXPECT_EQ(frame->size(), bytes.size());
  EXPECT_FALSE(encodeFrame({IpcValue::data(Bytes(std::string(100, 'x')))}, 64).ok());
}

class FrameReaderTest : public ::testing::Test {
 protected:
  // Feeds `bytes` in pieces of at most `step`, collecting whole bodies.
  Status feed(FrameReader& reader, const std::string& bytes, std::size_t step) {
    std::size_t at = 0;
    while (at < bytes.size()) {
      std::span<char> space = reader.readSpace();
      const std::size_t n = std::min({step, space.size(), bytes.size() - at});
      std::memcpy(space.data(), bytes.data() + at, n);
      reader.commit(n);
      at += n;
      for (;;) {
        Result<std::optional<FrameBody>> body = reader.next();
        if (!body) return body.error();
        if (!*body) break;
        bodies.emplace_back((*body)->storage.get(), (*body)->size);
      }
    }
    return Ok{};
  }
  static std::string frame(const std::string& body) {
    const auto n = static_cast<uint32_t>(body.size());
    std::string header = {char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
    return header + body;
  }
  std::vector<std::string> bodies;
};

TEST_F(FrameReaderTest, SplitsAStreamWhateverTheReadSizes) {
  std::string stream = frame("a") + frame("") + frame(std::string(20000, 'b')) + frame("cd");
  for (std::size_t step : {1u, 3u, 7u, 4096u, 1000000u}) {
    bodies.clear();
    FrameReader reader(kMaxCallFrameSize);
    ASSERT_TRUE(feed(reader, stream, step).ok());
    ASSERT_EQ(bodies.size(), 4u) << "step " << step;
    EXPECT_EQ(bodies[0], "a");
    EXPECT_EQ(bodies[1], "");
    EXPECT_EQ(bodies[2], std::string(20000, 'b'));
    EXPECT_EQ(bodies[3], "cd");
    EXPECT_FALSE(reader.midFrame());
  }
}

TEST_F(FrameReaderTest, RefusesFramesOverTheLimit) {
  FrameReader atLimit(100);
  EXPECT_TRUE(feed(atLimit, frame(std::string(100, 'x')), 4096).ok());
  FrameReader overLimit(100);
  Status status = feed(overLimit, frame(std::string(101, 'x')), 4096);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().code, EPROTO);
  // The default call limit refuses a header announcing 64 MiB + 1 at once.
  FrameReader calls(kMaxCallFrameSize);
  EXPECT_FALSE(feed(calls, std::string("\x04\x00\x00\x01", 4), 4).ok());
}

TEST_F(FrameReaderTest, ReadsALargeFrameStraightIntoItsOwnBuffer) {
  const std::string body(1 << 20, 'z');
  const std::string stream = frame(body);
  FrameReader reader(kMaxReplyFrameSize);
  std::span<char> first = reader.readSpace();
  std::memcpy(first.data(), stream.data(), 100);
  reader.commit(100);
  ASSERT_FALSE(reader.next()->has_value());
  std::span<char> rest = reader.readSpace();
  ASSERT_EQ(rest.size(), body.size() - 96) << "the remainder lands in the frame's own buffer";
  std::memcpy(rest.data(), stream.data() + 100, rest.size());
  reader.commit(rest.size());
  Result<std::optional<FrameBody>> done = reader.next();
  ASSERT_TRUE(done.ok() && done->has_value());
  EXPECT_EQ((*done)->storage.get() + 96, rest.data());
  EXPECT_EQ(std::string_view((*done)->storage.get(), (*done)->size), body);
}

class OneMethodInterface : public IpcInterface {
 public:
  Result<bool> checkCall(std::string_view selector, const std::vector<IpcValue>&) const override {
    if (selector == "echo:") return true;
    if (selector == "note:") return false;
    return ipcViolation("unknown selector");
  }
  Status checkReply(std::string_view, const std::vector<IpcValue>&) const override { return Ok{}; }
};

TEST(IpcMessage, CallEnvelopeAndOneWayRule) {
  OneMethodInterface interface;
  Result<IpcCall> call = parseCall(makeCallMessage(7, "echo:", {IpcValue::string("x")}), interface);
  ASSERT_TRUE(call.ok());
  EXPECT_EQ(call->callID, 7u);
  EXPECT_EQ(call->selector, "echo:");
  EXPECT_TRUE(call->hasReply);
  ASSERT_EQ(call->arguments.size(), 1u);

  EXPECT_TRUE(parseCall(makeCallMessage(0, "note:", {}), interface).ok());
  EXPECT_FALSE(parseCall(makeCallMessage(0, "echo:", {}), interface).ok())
      << "one-way with a reply";
  EXPECT_FALSE(parseCall(makeCallMessage(3, "note:", {}), interface).ok())
      << "ID on a one-way call";
  EXPECT_FALSE(parseCall(makeCallMessage(3, "nope:", {}), interface).ok()) << "unknown selector";
  EXPECT_FALSE(parseCall(makeReplyMessage(3, {}), interface).ok()) << "a reply is not a call";
  EXPECT_FALSE(
      parseCall({IpcValue::integer(0), IpcValue::integer(-1), IpcValue::string("echo:")}, interface)
          .ok());
  EXPECT_FALSE(
      parseCall({IpcValue::integer(0), IpcValue::integer(1), IpcValue::integer(2)}, interface)
          .ok());
  EXPECT_FALSE(parseCall({}, interface).ok());
}

TEST(IpcMessage, ReplyEnvelope) {
  Result<IpcReplyMessage> reply = parseReply(makeReplyMessage(9, {IpcValue::boolean(true)}));
  ASSERT_TRUE(reply.ok());
  EXPECT_EQ(reply->callID, 9u);
  EXPECT_EQ(reply->values, std::vector<IpcValue>{IpcValue::boolean(true)});
  EXPECT_FALSE(parseReply(makeReplyMessage(0, {})).ok());
  EXPECT_FALSE(parseReply(makeCallMessage(9, "echo:", {})).ok());
}

}  // namespace
}  // namespace zefra::platform
