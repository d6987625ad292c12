#include "kivo/xpc/wire.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <functional>

#include "test_support.hpp"

namespace kivo::xpc {
namespace {

using testing::Bytes;
using ::testing::HasSubstr;

std::span<const std::uint8_t> body_of(const EncodedMessage& encoded) {
  return std::span<const std::uint8_t>(encoded.bytes).subspan(kLengthPrefixSize);
}

TEST(WireTest, EncodesTheDocumentedLayout) {
  Message message;
  message.set_uint64("kind", 1);
  message.set_data("payload", std::string_view("{}"));

  auto encoded = encode_message(1, 0, message);
  ASSERT_TRUE(encoded) << encoded.error().display();

  const auto expected =
      Bytes().header(1, 0, 2).key("kind", 1).u64(1).key("payload", 2).u32(2).raw("{}").framed();
  EXPECT_EQ(encoded->bytes, expected);
  EXPECT_TRUE(encoded->descriptors.empty());
}

TEST(WireTest, RoundTripKeepsEveryValueTypeAndTheDescriptors) {
  auto [read_end, write_end] = testing::make_pipe();
  auto [left, right] = testing::make_socket_pair();
  Message message;
  message.set_uint64("agent_generation", 0xFEDCBA9876543210u);
  message.set_data("payload", std::string_view("hello"));
  message.set_data("empty", std::vector<std::uint8_t>{});
  message.set_fd("media_fd", std::move(*write_end.duplicate()));
  message.set_fd("bulk_fd", std::move(*left.duplicate()));

  auto encoded = encode_message(7, 3, message);
  ASSERT_TRUE(encoded);
  ASSERT_EQ(encoded->descriptors.size(), 2u);
  std::vector<UniqueFd> received;
  for (int fd : encoded->descriptors) received.emplace_back(::fcntl(fd, F_DUPFD_CLOEXEC, 0));

  auto decoded = decode_body(body_of(*encoded), std::move(received));
  ASSERT_TRUE(decoded) << decoded.error().display();
  EXPECT_EQ(decoded->message_id, 7u);
  EXPECT_EQ(decoded->reply_to, 3u);
  const Message& got = decoded->message;
  EXPECT_EQ(got.size(), 5u);
  EXPECT_EQ(got.uint64("agent_generation"), 0xFEDCBA9876543210u);
  const auto payload = got.data("payload");
  ASSERT_TRUE(payload);
  EXPECT_EQ(std::string(payload->begin(), payload->end()), "hello");
  ASSERT_TRUE(got.data("empty"));
  EXPECT_TRUE(got.data("empty")->empty());

  const UniqueFd media = got.dup_fd("media_fd");
  const UniqueFd bulk = got.dup_fd("bulk_fd");
  EXPECT_TRUE(testing::same_file(media.get(), write_end.get()));
  EXPECT_TRUE(testing::same_file(bulk.get(), left.get()));
}

TEST(WireTest, LengthPrefixBounds) {
  struct Case {
    std::uint32_t length;
    bool accepted;
  };
  for (const Case& c : {Case{0, false}, Case{19, false}, Case{20, true}, Case{kMaxBodyLength, true},
                        Case{kMaxBodyLength + 1, false}, Case{0xFFFFFFFFu, false}}) {
    const auto prefix = Bytes().u32(c.length).get();
    const auto length = decode_body_length(std::span<const std::uint8_t, 4>(prefix.data(), 4));
    EXPECT_EQ(length.has_value(), c.accepted) << c.length;
  }
}

struct MalformedCase {
  const char* name;
  std::function<Bytes()> body;
  int descriptors;
  const char* reason;
};

class MalformedTest : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedTest, IsRefusedAndEveryDescriptorIsClosed) {
  const MalformedCase& c = GetParam();
  auto [read_end, write_end] = testing::make_pipe();
  std::vector<UniqueFd> descriptors;
  std::vector<int> numbers;
  for (int i = 0; i < c.descriptors; ++i) {
    descriptors.push_back(std::move(*write_end.duplicate()));
    numbers.push_back(descriptors.back().get());
  }

  const auto decoded = decode_body(c.body().get(), std::move(descriptors));
  ASSERT_FALSE(decoded);
  EXPECT_EQ(decoded.error().kind(), KivoError::Kind::kInvalidMessage);
  EXPECT_THAT(decoded.error().text(), HasSubstr(c.reason));
  for (int fd : numbers) EXPECT_FALSE(testing::is_open(fd)) << "descriptor " << fd << " leaked";
  write_end.reset();
  EXPECT_TRUE(testing::all_writers_closed(read_end.get()));
}

// One well-formed descriptor entry naming index `i`.
Bytes& fd_entry(Bytes& b, std::string_view key, std::uint32_t index) {
  return b.key(key, 3).u32(index);
}

INSTANTIATE_TEST_SUITE_P(
    EveryRule, MalformedTest,
    ::testing::Values(
        MalformedCase{"BodyTooShort", [] { return Bytes().u64(1).u64(0).u16(0); }, 1,
                      "body length 18 out of range"},
        MalformedCase{"MessageIdZero", [] { return Bytes().header(0, 0, 0); }, 0, "message_id 0"},
        MalformedCase{"MoreEntriesThanTheBodyHolds",
                      [] { return Bytes().header(1, 0, 2).key("a", 1).u64(5); }, 0, "past the end"},
        MalformedCase{"KeyRunsPastTheEnd", [] { return Bytes().header(1, 0, 1).u16(9).raw("ab"); },
                      0, "past the end"},
        MalformedCase{"TypeByteMissing", [] { return Bytes().header(1, 0, 1).u16(1).raw("a"); }, 0,
                      "past the end"},
        MalformedCase{"IntegerCutShort", [] { return Bytes().header(1, 0, 1).key("a", 1).u32(1); },
                      0, "past the end"},
        // A length near 2^32 must not wrap any bound.
        MalformedCase{"DataLengthHuge",
                      [] { return Bytes().header(1, 0, 1).key("a", 2).u32(0xFFFFFFFFu).raw("x"); },
                      0, "past the end"},
        MalformedCase{"DescriptorIndexCutShort",
                      [] { return Bytes().header(1, 0, 1).key("fd", 3).u16(0); }, 1,
                      "past the end"},
        MalformedCase{"BytesLeftOver",
                      [] { return Bytes().header(1, 0, 1).key("a", 1).u64(1).u8(0); }, 0,
                      "1 bytes left"},
        MalformedCase{"UnknownTypeZero", [] { return Bytes().header(1, 0, 1).key("a", 0).u64(1); },
                      0, "unknown entry type 0"},
        MalformedCase{"UnknownTypeFour", [] { return Bytes().header(1, 0, 1).key("a", 4).u64(1); },
                      1, "unknown entry type 4"},
        MalformedCase{"DuplicateKey",
                      [] { return Bytes().header(1, 0, 2).key("a", 1).u64(1).key("a", 2).u32(0); },
                      0, "duplicate key"},
        MalformedCase{"DuplicateDescriptorKey",
                      [] {
                        Bytes b;
                        b.header(1, 0, 2);
                        fd_entry(b, "fd", 0);
                        return fd_entry(b, "fd", 1);
                      },
                      2, "duplicate key"},
        MalformedCase{"EmptyKey", [] { return Bytes().header(1, 0, 1).key("", 1).u64(1); }, 0,
                      "empty key"},
        MalformedCase{"KeyOf256Bytes",
                      [] { return Bytes().header(1, 0, 1).key(std::string(256, 'k'), 1).u64(1); },
                      0, "longer than 255"},
        MalformedCase{
            "KeyWithNul",
            [] { return Bytes().header(1, 0, 1).key(std::string_view("a\0b", 3), 1).u64(1); }, 0,
            "NUL"},
        MalformedCase{"KeyNotUtf8", [] { return Bytes().header(1, 0, 1).key("\xFF", 1).u64(1); }, 0,
                      "UTF-8"},
        MalformedCase{"KeyOverlongUtf8",
                      [] { return Bytes().header(1, 0, 1).key("\xC0\xAF", 1).u64(1); }, 0, "UTF-8"},
        MalformedCase{"KeySurrogate",
                      [] { return Bytes().header(1, 0, 1).key("\xED\xA0\x80", 1).u64(1); }, 0,
                      "UTF-8"},
        MalformedCase{"KeyTruncatedUtf8",
                      [] { return Bytes().header(1, 0, 1).key("\xE2\x82", 1).u64(1); }, 0, "UTF-8"},
        MalformedCase{"DescriptorIndexWithoutDescriptor",
                      [] {
                        Bytes b;
                        b.header(1, 0, 1);
                        return fd_entry(b, "fd", 1);
                      },
                      1, "descriptor index 1 without a descriptor"},
        MalformedCase{"DescriptorIndexHuge",
                      [] {
                        Bytes b;
                        b.header(1, 0, 1);
                        return fd_entry(b, "fd", 0xFFFFFFFFu);
                      },
                      0, "without a descriptor"},
        MalformedCase{"DescriptorNamedTwice",
                      [] {
                        Bytes b;
                        b.header(1, 0, 2);
                        fd_entry(b, "a", 0);
                        return fd_entry(b, "b", 0);
                      },
                      1, "named by more than one entry"},
        MalformedCase{"DescriptorNamedByNoEntry",
                      [] {
                        Bytes b;
                        b.header(1, 0, 1);
                        return fd_entry(b, "a", 1);
                      },
                      2, "descriptor 0 named by no entry"},
        MalformedCase{"NineDescriptors",
                      [] {
                        Bytes b;
                        b.header(1, 0, 9);
                        for (std::uint32_t i = 0; i < 9; ++i) fd_entry(b, std::to_string(i), i);
                        return b;
                      },
                      9, "9 descriptors"}),
    [](const ::testing::TestParamInfo<MalformedCase>& param_info) {
      return param_info.param.name;
    });

TEST(WireTest, EightDescriptorsAndMultiByteKeysAreAccepted) {
  auto [read_end, write_end] = testing::make_pipe();
  Message message;
  for (int i = 0; i < 8; ++i) {
    message.set_fd("fd-\xC3\xA9-\xF0\x9F\x94\x91-" + std::to_string(i),
                   std::move(*write_end.duplicate()));
  }
  auto encoded = encode_message(1, 0, message);
  ASSERT_TRUE(encoded);
  std::vector<UniqueFd> received;
  for (int fd : encoded->descriptors) received.emplace_back(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
  auto decoded = decode_body(body_of(*encoded), std::move(received));
  ASSERT_TRUE(decoded) << decoded.error().display();
  EXPECT_EQ(decoded->message.size(), 8u);
}

TEST(WireTest, EncoderRefusesWhatTheFormatCannotCarry) {
  auto [read_end, write_end] = testing::make_pipe();
  const std::vector<std::pair<const char*, std::function<Message()>>> cases = {
      {"empty key",
       [] {
         Message m;
         m.set_uint64("", 1);
         return m;
       }},
      {"key longer than 255",
       [] {
         Message m;
         m.set_uint64(std::string(256, 'k'), 1);
         return m;
       }},
      {"not valid UTF-8",
       [] {
         Message m;
         m.set_uint64("\xFF", 1);
         return m;
       }},
      {"holds no descriptor",
       [] {
         Message m;
         m.set_fd("fd", UniqueFd());
         return m;
       }},
      {"9 descriptors",
       [&, fd = write_end.get()] {
         Message m;
         for (int i = 0; i < 9; ++i) m.set_fd(std::to_string(i), UniqueFd(::dup(fd)));
         return m;
       }},
      {"exceeds",
       [] {
         Message m;
         m.set_data("a", std::vector<std::uint8_t>(kMaxBodyLength));
         return m;
       }},
  };
  for (const auto& [reason, make] : cases) {
    const auto encoded = encode_message(1, 0, make());
    ASSERT_FALSE(encoded) << reason;
    EXPECT_EQ(encoded.error().kind(), KivoError::Kind::kInvalidMessage);
    EXPECT_THAT(encoded.error().text(), HasSubstr(reason));
  }
}

TEST(WireTest, LargestBodyIsExactlySixtyFourMebibytes) {
  // Header 20, key length 2, key 1, type 1, data length 4.
  Message message;
  message.set_data("a", std::vector<std::uint8_t>(kMaxBodyLength - 28));
  auto encoded = encode_message(1, 0, message);
  ASSERT_TRUE(encoded);
  EXPECT_EQ(encoded->body_length(), kMaxBodyLength);
  EXPECT_TRUE(decode_body(body_of(*encoded), {}));

  message.set_data("a", std::vector<std::uint8_t>(kMaxBodyLength - 27));
  EXPECT_FALSE(encode_message(1, 0, message));
}

TEST(WireTest, SetMessageIdRewritesOnlyTheId) {
  Message message;
  message.set_uint64("kind", 4);
  auto encoded = encode_message(0, 9, message);
  ASSERT_TRUE(encoded);
  set_message_id(*encoded, 0x0102030405060708u);
  auto decoded = decode_body(body_of(*encoded), {});
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->message_id, 0x0102030405060708u);
  EXPECT_EQ(decoded->reply_to, 9u);
  EXPECT_EQ(decoded->message.uint64("kind"), 4u);
}

}  // namespace
}  // namespace kivo::xpc
