#include "wire/codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "base/utf8.h"
#include "wire/frame.h"
#include "wire/message.h"

namespace zefra::wire {
namespace {

using namespace std::string_literals;

Result<std::vector<IpcValue>> decode(const std::string& body) {
  auto owner = std::make_shared<std::string>(body);
  return decodeMessage(owner, owner->data(), owner->size());
}

void expectViolation(const std::string& body, const std::string& what) {
  Result<std::vector<IpcValue>> decoded = decode(body);
  ASSERT_FALSE(decoded.ok()) << what;
  EXPECT_EQ(decoded.error().code, EPROTO) << what;
}

// One row per way a sequence is ill-formed: a lead byte below C2 (a stray
// continuation or an overlong pair), overlong three and four bytes,
// surrogates, past U+10FFFF, a lead byte from F5 (after a whole ASCII word),
// and a sequence cut short.
TEST(Wire, Utf8IsCheckedStrictly) {
  for (std::string bad : {"\xC0\x80", "\xE0\x80\xAF", "\xF0\x80\x80\xAF", "\xED\xA0\x80",
                          "\xF4\x90\x80\x80", "12345678\xF5\x80\x80\x80", "abc\xE2\x82"}) {
    EXPECT_FALSE(base::isValidUtf8(bad)) << bad;
    expectViolation("\x91" + std::string(1, static_cast<char>(0xA0 | bad.size())) + bad, bad);
    EXPECT_FALSE(encodeMessage({IpcValue::string(bad)}).ok()) << bad;
    EXPECT_TRUE(base::isValidUtf8(base::repairUtf8(bad))) << bad;
  }
  for (std::string good : {"", "plain", "\xC2\x80", "\xEF\xBF\xBF", "\xF4\x8F\xBF\xBF", "€𝄞"}) {
    EXPECT_TRUE(base::isValidUtf8(good)) << good;
    EXPECT_EQ(base::repairUtf8(good), good);
  }
  EXPECT_EQ(base::repairUtf8("a\xFF"), "a\xEF\xBF\xBD");
}

TEST(Wire, MalformedBodiesAreViolations) {
  // MessagePack the encoder would never write.
  expectViolation(""s, "empty body");
  expectViolation("\x91\x01\x01"s, "trailing bytes");
  expectViolation("\x92\x01"s, "truncated array");
  expectViolation("\x03"s, "not an array");
  expectViolation("\x81\xa1\x6b\xa1\x76"s, "a map as the message");
  expectViolation("\x91\x81\xca\x3f\xc0\x00\x00\xa1\x76"s, "float as a key");
  expectViolation("\x91\xd4\x07\x78"s, "extension");
  expectViolation("\x91\xcf\xff\xff\xff\xff\xff\xff\xff\xff"s, "integer beyond 64 signed bits");
  expectViolation("\x91\x91\xc0"s, "nil inside a collection");
  expectViolation("\x91\x81\x90\xa1\x76"s, "collection as a key");
  expectViolation("\x91\x82\xa1\x50\xa1\x61\xa1\x50\xa1\x62"s, "duplicate key");
  expectViolation("\x91\xdd\xff\xff\xff\xff"s, "announced count beyond the body");

  auto nested = [](int depth) { return std::string(depth, '\x91') + "\xA4leaf"; };
  EXPECT_TRUE(decode(nested(kIpcMaxDepth)).ok());
  expectViolation(nested(kIpcMaxDepth + 1), "too deep");
}

// [[x, x, ...]]: `count` copies of the value `element` in one inner array.
std::string arrayOf(std::size_t count, const std::string& element) {
  std::string body = "\x91\xDD";
  for (int shift : {24, 16, 8, 0}) body += static_cast<char>(count >> shift);
  if (element.size() == 1) return body.append(count, element[0]);
  for (std::size_t i = 0; i < count; ++i) body += element;
  return body;
}

std::string flat(const EncodedMessage& message) {
  std::string out;
  for (const iovec& chunk : message.chunks()) {
    out.append(static_cast<const char*>(chunk.iov_base), chunk.iov_len);
  }
  return out;
}

// A reader typed by the protocol document meets a float wherever a float was
// sent: whole values and -0.0 included, NaN bit for bit.
TEST(Wire, EveryValueComesBackAsItWent) {
  std::vector<IpcValue> mixed = {
      IpcValue(),
      IpcValue::boolean(true),
      IpcValue::integer(INT64_MIN),
      IpcValue::integer(INT64_MAX),
      IpcValue::string("€"),
      IpcValue::data(Bytes(std::string("\0x", 2))),
      IpcValue::array({IpcValue::map({{IpcValue::string("k"), IpcValue::real(1.0)}})})};
  for (double real : {2.0, -0.0, 0.043, std::nan("7")}) {
    // Eight bytes after the marker, as decoding them among the others shows.
    EXPECT_EQ(flat(encodeMessage({IpcValue::real(real)}).value()).substr(0, 2), "\x91\xcb");
    mixed.push_back(IpcValue::real(real));
  }
  EXPECT_EQ(decode(flat(encodeMessage(mixed).value())).value(), mixed);
}

// What decoding costs follows from the body's size: one-byte values past the
// free allowance are refused on the announcement, values paid for by enough
// bytes are not.
TEST(Wire, AFrameDecodesOnlyToWhatItsSizePaysFor) {
  // A 31-byte fixstr: kBytesPerValue bytes in all.
  const std::string oneByte = "\x01", paidString = "\xBF" + std::string(kBytesPerValue - 1, 'x');
  // Trailing or missing bytes are refused, so a body that decodes holds all its values.
  EXPECT_TRUE(decode(arrayOf(kFreeValues - 4, oneByte)).ok()) << "within the free allowance";
  expectViolation(arrayOf(4 * kFreeValues, oneByte), "one-byte values beyond it");
  EXPECT_TRUE(decode(arrayOf(4 * kFreeValues, paidString)).ok()) << "values paying their way";
  // The outer announcement alone is within the allowance; the inner ones are not.
  expectViolation(arrayOf(kFreeValues, "\x91\x01"), "nested one-byte arrays");
  // A 64 MiB body of one-byte values is refused without building them.
  expectViolation(arrayOf((64u << 20) - 6, oneByte), "64 MiB of one-byte values");
}

std::string frame(const std::string& body) {
  const auto n = static_cast<uint32_t>(body.size());
  return std::string{char(n >> 24), char(n >> 16), char(n >> 8), char(n)} + body;
}

// Feeds `bytes` to `reader` in pieces of at most `step`; the bodies it yields.
Result<std::vector<std::string>> feed(FrameReader& reader, const std::string& bytes,
                                      std::size_t step) {
  std::vector<std::string> bodies;
  for (std::size_t at = 0; at < bytes.size();) {
    std::span<char> space = reader.readSpace();
    const std::size_t n = bytes.copy(space.data(), std::min(step, space.size()), at);
    reader.commit(n);
    at += n;
    Result<std::optional<FrameBody>> body = reader.next();
    for (; body && *body; body = reader.next()) {
      bodies.emplace_back((*body)->storage.get(), (*body)->size);
    }
    if (!body) return body.error();
  }
  return bodies;
}

// The frame's layout is the protocol-document client's to show.
TEST(Wire, SplitsWhateverTheReadSizesAndRefusesOversizeFrames) {
  // 20000 bytes take the path of a large frame read into its own buffer; the
  // 3000-byte ones overrun the 64 KiB staging buffer, so a partial frame
  // moves to its front.
  std::vector<std::string> sent = {"a", "", std::string(20000, 'b'), "cd"};
  for (int fill = 'A'; fill < 'A' + 30; ++fill) sent.emplace_back(3000, char(fill));
  std::string stream;
  for (const std::string& body : sent) stream += frame(body);
  // A byte at a time: a small body waited for, a large frame begun with its
  // header alone. Seven: a header split across reads, a large frame begun
  // with part of its body. All at once: a large frame whole.
  for (std::size_t step : {1u, 7u, 1000000u}) {
    FrameReader reader(kMaxCallFrameSize);
    EXPECT_EQ(feed(reader, stream, step).value(), sent) << "step " << step;
    EXPECT_FALSE(reader.midFrame());
    ASSERT_TRUE(feed(reader, frame("abc").substr(0, 5), step).ok());
    EXPECT_TRUE(reader.midFrame());
  }

  FrameReader atLimit(100), overLimit(100);
  EXPECT_TRUE(feed(atLimit, frame(std::string(100, 'x')), 4096).ok());
  EXPECT_EQ(feed(overLimit, frame(std::string(101, 'x')), 4096).error().code, EPROTO);
  // That 64 MiB + 1 is refused from the header alone, never waited for, is
  // transport_test's AViolationClosesOnlyItsConnection; that the encoder
  // refuses a call over the limit, its CallsEnterInTheirOrderAndAnOversizeCallFailsAlone.
}

// "echo:" has a reply; any other method is one-way.
struct OneMethodInterface : IpcInterface {
  Result<bool> checkCall(std::string_view selector, const std::vector<IpcValue>&) const override {
    return selector == "echo:";
  }
  Status checkReply(std::string_view, const std::vector<IpcValue>&) const override { return Ok{}; }
};

TEST(Wire, EnvelopesAndTheOneWayRule) {
  OneMethodInterface interface;
  // What a call or reply carries, and that well-formed calls, one-way calls
  // and replies are taken, is every transport test's: each echo comes back
  // to its own call with its value. A one-way call of a method with a reply
  // and an unknown selector are refused there, unentered.
  const std::vector<std::pair<std::vector<IpcValue>, const char*>> refused = {
      {makeCallMessage(3, "note:", {}), "call ID on a one-way call"},
      {makeReplyMessage(3, {}), "a reply is not a call"},
      {{IpcValue::integer(0), IpcValue::integer(-1), IpcValue::string("echo:")}, "negative ID"},
      {{IpcValue::integer(0), IpcValue::integer(1), IpcValue::integer(2)}, "selector not a string"},
      {{}, "empty message"},
  };
  for (const auto& [message, what] : refused)
    EXPECT_FALSE(parseCall(message, interface).ok()) << what;

  EXPECT_FALSE(parseReply(makeReplyMessage(0, {})).ok()) << "a reply to a one-way call";
  EXPECT_FALSE(parseReply(makeCallMessage(9, "echo:", {})).ok());
}

}  // namespace
}  // namespace zefra::wire
