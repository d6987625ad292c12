#include "kivo/protocol/frames.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace kivo::protocol {
namespace {

// Builds frame bytes by hand, independently of the encoder, so the tests pin
// the wire layout rather than restate the code.
class Raw {
 public:
  Raw& u8(std::uint8_t v) {
    body_.push_back(v);
    return *this;
  }
  Raw& u32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) u8(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
  }
  Raw& u64(std::uint64_t v) {
    for (int i = 0; i < 8; ++i) u8(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
  }
  Raw& bytes(std::string_view s) {
    body_.insert(body_.end(), s.begin(), s.end());
    return *this;
  }
  Raw& fill(std::size_t n, std::uint8_t v = 0xAB) {
    body_.insert(body_.end(), n, v);
    return *this;
  }
  // A length-prefixed field.
  Raw& field(std::string_view s) { return u32(static_cast<std::uint32_t>(s.size())).bytes(s); }

  // The frame with a prefix that matches the body.
  Bytes frame() const { return frame_announcing(static_cast<std::uint32_t>(body_.size())); }
  // The frame with any prefix in front of the body.
  Bytes frame_announcing(std::uint32_t length) const {
    Raw out;
    out.u32(length);
    out.body_.insert(out.body_.end(), body_.begin(), body_.end());
    return out.body_;
  }

 private:
  Bytes body_;
};

Bytes bytes_of(std::string_view s) {
  return Bytes(s.begin(), s.end());
}

std::string error_text_of_bulk(const Bytes& frame) {
  auto decoded = decode_bulk_frame(frame);
  return decoded ? "decoded" : decoded.error().display();
}

std::string error_text_of_media(const Bytes& frame) {
  auto decoded = decode_media_frame(frame);
  return decoded ? "decoded" : decoded.error().display();
}

// ---- layouts: every variant encodes to its hand-built bytes and back --------

TEST(BulkFrameTest, EveryVariantHasItsLayoutBothWays) {
  struct Case {
    const char* name;
    BulkFrame frame;
    Bytes bytes;
  };
  const Case cases[] = {
      {"file data",
       {BulkFrame::FileData{.route_id = 0x0102030405060708,
                            .packet_id = 9,
                            .task_id = "recv_ab",
                            .chunk_index = 3,
                            .data = bytes_of("chunk")}},
       Raw()
           .u8(0x11)
           .u64(0x0102030405060708)
           .u64(9)
           .field("recv_ab")
           .u32(3)
           .field("chunk")
           .frame()},
      {"file data, empty task id and data",
       {BulkFrame::FileData{
           .route_id = 1, .packet_id = 0, .task_id = "", .chunk_index = 0, .data = {}}},
       Raw().u8(0x11).u64(1).u64(0).field("").u32(0).field("").frame()},
      {"file ack",
       {BulkFrame::FileAck{.route_id = 7, .payload = bytes_of(R"({"type":"FILE_CHUNK_ACK"})")}},
       Raw().u8(0x12).u64(7).field(R"({"type":"FILE_CHUNK_ACK"})").frame()},
      {"clipboard",
       {BulkFrame::Clipboard{.route_id = 8, .packet = bytes_of("\x33pkt")}},
       Raw().u8(0x33).u64(8).field("\x33pkt").frame()},
      {"clipboard outbound",
       {BulkFrame::ClipboardOutbound{.route_id = 8, .packet_id = ~0ULL, .packet = bytes_of("p")}},
       Raw().u8(0x34).u64(8).u64(~0ULL).field("p").frame()},
      {"thumbnail image",
       {BulkFrame::DisplayThumbnail{.request_id = 42,
                                    .display_id = 69733378,
                                    .index = 2,
                                    .result = BulkFrame::ThumbnailImage{bytes_of("\xFF\xD8jpeg")}}},
       Raw().u8(0x35).u64(42).u32(69733378).u32(2).u8(0).field("\xFF\xD8jpeg").frame()},
      {"thumbnail failure",
       {BulkFrame::DisplayThumbnail{.request_id = 42,
                                    .display_id = 1,
                                    .index = 0,
                                    .result = BulkFrame::ThumbnailFailure{"thumbnail.empty"}}},
       Raw().u8(0x35).u64(42).u32(1).u32(0).u8(1).field("thumbnail.empty").frame()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto encoded = encode_bulk_frame(c.frame);
    ASSERT_TRUE(encoded) << encoded.error().display();
    EXPECT_EQ(*encoded, c.bytes);
    auto decoded = decode_bulk_frame(c.bytes);
    ASSERT_TRUE(decoded) << decoded.error().display();
    EXPECT_EQ(*decoded, c.frame);
    EXPECT_EQ(decoded->kind(), c.bytes[4]);
  }
}

TEST(MediaFrameTest, EveryVariantHasItsLayoutBothWays) {
  struct Case {
    const char* name;
    MediaFrame frame;
    Bytes bytes;
  };
  const Case cases[] = {
      {"video key frame",
       {MediaFrame::Video{.agent_generation = 5,
                          .capture_epoch = 6,
                          .stream_epoch = 7,
                          .sequence = 0x1122334455667788,
                          .keyframe = true,
                          .data = bytes_of(std::string_view("\0\0\0\1\x65", 5))}},
       Raw()
           .u8(0x01)
           .u64(5)
           .u64(6)
           .u64(7)
           .u64(0x1122334455667788)
           .u8(1)
           .field(std::string_view("\0\0\0\1\x65", 5))
           .frame()},
      {"video delta frame",
       {MediaFrame::Video{.agent_generation = 5,
                          .capture_epoch = 6,
                          .stream_epoch = 7,
                          .sequence = 1,
                          .keyframe = false,
                          .data = bytes_of("x")}},
       Raw().u8(0x01).u64(5).u64(6).u64(7).u64(1).u8(0).field("x").frame()},
      {"audio",
       {MediaFrame::Audio{.agent_generation = 5,
                          .capture_epoch = 6,
                          .stream_epoch = 6,
                          .sequence = 9,
                          .packet_sequence = 0xA0B0C0D0,
                          .data = bytes_of("opus")}},
       Raw().u8(0x02).u64(5).u64(6).u64(6).u64(9).u32(0xA0B0C0D0).field("opus").frame()},
      {"playback",
       {MediaFrame::Playback{.route_id = 3, .sequence = 17, .data = bytes_of("opus")}},
       Raw().u8(0x42).u64(3).u32(17).field("opus").frame()},
      {"playback with no data (body of exactly 17 bytes)",
       {MediaFrame::Playback{.route_id = 3, .sequence = 0, .data = {}}},
       Raw().u8(0x42).u64(3).u32(0).field("").frame()},
      {"short",
       {MediaFrame::Short{.value64 = 0xDEADBEEF00, .value32 = 77}},
       Raw().u8(0x7F).u64(0xDEADBEEF00).u32(77).frame()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto encoded = encode_media_frame(c.frame);
    ASSERT_TRUE(encoded) << encoded.error().display();
    EXPECT_EQ(*encoded, c.bytes);
    auto decoded = decode_media_frame(c.bytes);
    ASSERT_TRUE(decoded) << decoded.error().display();
    EXPECT_EQ(*decoded, c.frame);
    EXPECT_EQ(decoded->kind(), c.bytes[4]);
  }
}

TEST(MediaFrameTest, AnyNonZeroKeyframeByteReadsAsKeyFrameAndIsWrittenAsOne) {
  const Bytes frame = Raw().u8(0x01).u64(1).u64(2).u64(3).u64(4).u8(0x80).field("au").frame();
  auto decoded = decode_media_frame(frame);
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(std::get<MediaFrame::Video>(decoded->value).keyframe);
  auto encoded = encode_media_frame(*decoded);
  ASSERT_TRUE(encoded);
  EXPECT_EQ((*encoded)[4 + 33], 1);
}

// ---- decoding failures -------------------------------------------------------

struct DecodeFailure {
  const char* name;
  Bytes frame;
  std::string display;
};

const std::string kTooShort = "packet too short";
const std::string kTrailingMedia = "invalid control JSON: trailing media bytes";

TEST(BulkFrameTest, DecodingFailuresInTheirOrder) {
  const Bytes ack = Raw().u8(0x12).u64(7).field("{}").frame();
  const DecodeFailure cases[] = {
      {"empty input", {}, kTooShort},
      {"prefix alone", Raw().frame(), kTooShort},
      {"prefix announces fewer bytes than given",
       Raw().u8(0x12).u64(7).field("{}").u8(0).frame_announcing(15), kTooShort},
      {"prefix announces more bytes than given",
       Raw().u8(0x12).u64(7).field("{}").frame_announcing(16), kTooShort},
      {"length above the limit, whatever follows", Raw().u8(0x12).frame_announcing(0x2000001),
       "payload too large: 33554433 bytes"},
      {"largest prefix", Raw().u8(0x12).frame_announcing(0xFFFFFFFF),
       "payload too large: 4294967295 bytes"},
      {"unknown kind", Raw().u8(0x13).u64(7).field("{}").frame(), "invalid message type: 0x13"},
      {"media kind on the bulk socket", Raw().u8(0x01).frame(), "invalid message type: 0x01"},
      {"file ack one byte short", Raw().u8(0x12).u64(7).u32(2).bytes("{").frame(), kTooShort},
      {"file ack with a surplus byte", Raw().u8(0x12).u64(7).field("{}").u8(0).frame(),
       kTrailingMedia},
      {"file ack without payload length", Raw().u8(0x12).u64(7).u8(0).frame(), kTooShort},
      {"file ack shorter than its route", Raw().u8(0x12).u32(7).frame(), kTooShort},
      {"clipboard length near 2^32", Raw().u8(0x33).u64(7).u32(0xFFFFFFFF).bytes("pk").frame(),
       kTooShort},
      {"clipboard outbound without packet id", Raw().u8(0x34).u64(7).u32(0).frame(), kTooShort},
      {"clipboard outbound with a surplus byte",
       Raw().u8(0x34).u64(7).u64(1).field("p").u8(9).frame(), kTrailingMedia},
      {"file data task id not UTF-8",
       Raw().u8(0x11).u64(1).u64(1).field("\xFF").u32(0).field("d").frame(),
       "invalid control JSON: invalid utf-8 sequence of 1 bytes from index 0"},
      {"file data task id cut inside a character",
       Raw().u8(0x11).u64(1).u64(1).field("abc\xE2\x82").u32(0).field("d").frame(),
       "invalid control JSON: incomplete utf-8 byte sequence from index 3"},
      {"file data task id length near 2^32",
       Raw().u8(0x11).u64(1).u64(1).u32(0xFFFFFFFC).fill(12).frame(), kTooShort},
      {"file data without task id length", Raw().u8(0x11).u64(1).u64(1).frame(), kTooShort},
      {"file data without chunk index", Raw().u8(0x11).u64(1).u64(1).field("t").u32(0).frame(),
       kTooShort},
      {"file data length near 2^32",
       Raw().u8(0x11).u64(1).u64(1).field("t").u32(0).u32(0xFFFFFFFF).fill(8).frame(), kTooShort},
      {"file data with a surplus byte",
       Raw().u8(0x11).u64(1).u64(1).field("t").u32(0).field("d").u8(0).frame(), kTrailingMedia},
      {"thumbnail without result byte", Raw().u8(0x35).u64(1).u32(1).u32(0).frame(), kTooShort},
      {"thumbnail result byte 2", Raw().u8(0x35).u64(1).u32(1).u32(0).u8(2).field("x").frame(),
       "invalid message type: 0x02"},
      {"thumbnail result byte 2 on a bare body", Raw().u8(0x35).u64(1).u32(1).u32(0).u8(2).frame(),
       "invalid message type: 0x02"},
      {"thumbnail image with a surplus byte",
       Raw().u8(0x35).u64(1).u32(1).u32(0).u8(0).field("jpg").u8(0).frame(), kTrailingMedia},
      {"thumbnail image cut short",
       Raw().u8(0x35).u64(1).u32(1).u32(0).u8(0).u32(4).bytes("jpg").frame(), kTooShort},
      {"thumbnail failure with a surplus byte",
       Raw().u8(0x35).u64(1).u32(1).u32(0).u8(1).field("thumbnail.empty").u8(0).frame(),
       "invalid control JSON: trailing thumbnail bytes"},
      {"thumbnail failure code not UTF-8",
       Raw().u8(0x35).u64(1).u32(1).u32(0).u8(1).field("\xC0\xAF").frame(),
       "invalid control JSON: invalid utf-8 sequence of 1 bytes from index 0"},
  };
  ASSERT_TRUE(decode_bulk_frame(ack)) << "the base frame of the first cases is valid";
  for (const DecodeFailure& c : cases) {
    EXPECT_EQ(error_text_of_bulk(c.frame), c.display) << c.name;
  }
}

TEST(MediaFrameTest, DecodingFailuresInTheirOrder) {
  const DecodeFailure cases[] = {
      {"empty input", {}, kTooShort},
      {"prefix alone", Raw().frame(), kTooShort},
      {"length above the limit, whatever follows", Raw().u8(0x01).frame_announcing(0x1000001),
       "payload too large: 16777217 bytes"},
      {"prefix announces fewer bytes than given",
       Raw().u8(0x42).u64(3).u32(0).field("").u8(0).frame_announcing(17), kTooShort},
      {"unknown kind", Raw().u8(0x03).fill(40).frame(), "invalid message type: 0x03"},
      {"bulk kind on the media socket", Raw().u8(0x11).fill(40).frame(),
       "invalid message type: 0x11"},
      {"video body of 37 bytes", Raw().u8(0x01).fill(36).frame(), kTooShort},
      {"video data cut short",
       Raw().u8(0x01).u64(1).u64(2).u64(3).u64(4).u8(1).u32(3).bytes("ab").frame(), kTooShort},
      {"video length near 2^32",
       Raw().u8(0x01).u64(1).u64(2).u64(3).u64(4).u8(1).u32(0xFFFFFFFE).bytes("ab").frame(),
       kTooShort},
      {"video with a surplus byte",
       Raw().u8(0x01).u64(1).u64(2).u64(3).u64(4).u8(1).field("au").u8(0).frame(), kTrailingMedia},
      {"audio body of 40 bytes", Raw().u8(0x02).fill(39).frame(), kTooShort},
      {"audio with a surplus byte",
       Raw().u8(0x02).u64(1).u64(2).u64(2).u64(4).u32(5).field("op").u8(0).frame(), kTrailingMedia},
      {"playback body of 16 bytes", Raw().u8(0x42).u64(3).u32(0).bytes("\0\0\0").frame(),
       kTooShort},
      {"playback with a surplus byte", Raw().u8(0x42).u64(3).u32(0).field("op").u8(0).frame(),
       kTrailingMedia},
      {"short with a 14-byte body", Raw().u8(0x7F).u64(1).u32(2).u8(0).frame(), kTooShort},
      {"short with a 12-byte body", Raw().u8(0x7F).u64(1).fill(3).frame(), kTooShort},
  };
  for (const DecodeFailure& c : cases) {
    EXPECT_EQ(error_text_of_media(c.frame), c.display) << c.name;
  }
}

// ---- size limits -------------------------------------------------------------

// Frames whose body is exactly the family's limit, and one byte more.
class FrameLimitTest : public ::testing::Test {
 protected:
  static BulkFrame file_ack_with_body(std::uint64_t body_length) {
    return {BulkFrame::FileAck{.route_id = 1, .payload = Bytes(body_length - 13, 0x5A)}};
  }
  static MediaFrame video_with_body(std::uint64_t body_length) {
    return {MediaFrame::Video{.agent_generation = 1,
                              .capture_epoch = 2,
                              .stream_epoch = 3,
                              .sequence = 4,
                              .keyframe = true,
                              .data = Bytes(body_length - 38, 0x5A)}};
  }
};

TEST_F(FrameLimitTest, BulkBodyOfExactly32MiBIsValidAndOneByteMoreIsNot) {
  auto at_limit = encode_bulk_frame(file_ack_with_body(kMaxBulkBodyLength));
  ASSERT_TRUE(at_limit) << at_limit.error().display();
  EXPECT_EQ(at_limit->size(), 4U + 0x2000000U);
  auto decoded = decode_bulk_frame(*at_limit);
  ASSERT_TRUE(decoded) << decoded.error().display();
  EXPECT_EQ(std::get<BulkFrame::FileAck>(decoded->value).payload.size(), 0x2000000U - 13U);

  auto over = encode_bulk_frame(file_ack_with_body(kMaxBulkBodyLength + 1ULL));
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error(), ProtocolError::payload_too_large(33554433));

  // The decoder refuses such a frame from its prefix, with the body present.
  Bytes over_frame = *at_limit;
  over_frame.push_back(0);
  over_frame[0] = 0x01;
  over_frame[3] = 0x02;
  EXPECT_EQ(error_text_of_bulk(over_frame), "payload too large: 33554433 bytes");
}

TEST_F(FrameLimitTest, MediaBodyOfExactly16MiBIsValidAndOneByteMoreIsNot) {
  auto at_limit = encode_media_frame(video_with_body(kMaxMediaBodyLength));
  ASSERT_TRUE(at_limit) << at_limit.error().display();
  EXPECT_EQ(at_limit->size(), 4U + 0x1000000U);
  auto decoded = decode_media_frame(*at_limit);
  ASSERT_TRUE(decoded) << decoded.error().display();
  EXPECT_EQ(*decoded, video_with_body(kMaxMediaBodyLength));

  auto over = encode_media_frame(video_with_body(kMaxMediaBodyLength + 1ULL));
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error().display(), "payload too large: 16777217 bytes");

  Bytes over_frame = *at_limit;
  over_frame.push_back(0);
  over_frame[0] = 0x01;
  over_frame[3] = 0x01;
  EXPECT_EQ(error_text_of_media(over_frame), "payload too large: 16777217 bytes");
}

TEST_F(FrameLimitTest, EncodersApplyTheirOwnFamilysLimit) {
  // A 20 MiB chunk is a valid bulk frame; as media data it is too large.
  const Bytes twenty_mib(20U << 20U, 1);
  EXPECT_TRUE(encode_bulk_frame({BulkFrame::Clipboard{.route_id = 1, .packet = twenty_mib}}));
  auto media =
      encode_media_frame({MediaFrame::Playback{.route_id = 1, .sequence = 0, .data = twenty_mib}});
  ASSERT_FALSE(media);
  EXPECT_EQ(media.error(), ProtocolError::payload_too_large((20U << 20U) + 17U));
}

// ---- stream readers' view of the prefix --------------------------------------

TEST(FrameBodyLengthTest, SaysHowManyBytesFollowOrWhichErrorApplies) {
  struct Case {
    std::uint32_t prefix;
    std::string bulk;  // the length, or the error's display
    std::string media;
  };
  const Case cases[] = {
      {0, kTooShort, kTooShort},
      {1, "1", "1"},
      {0x1000000, "16777216", "16777216"},
      {0x1000001, "16777217", "payload too large: 16777217 bytes"},
      {0x2000000, "33554432", "payload too large: 33554432 bytes"},
      {0x2000001, "payload too large: 33554433 bytes", "payload too large: 33554433 bytes"},
      {0xFFFFFFFF, "payload too large: 4294967295 bytes", "payload too large: 4294967295 bytes"},
  };
  const auto text = [](const ProtocolResult<std::uint32_t>& r) {
    return r ? std::to_string(*r) : r.error().display();
  };
  for (const Case& c : cases) {
    const std::array<std::uint8_t, 4> header{
        static_cast<std::uint8_t>(c.prefix), static_cast<std::uint8_t>(c.prefix >> 8U),
        static_cast<std::uint8_t>(c.prefix >> 16U), static_cast<std::uint8_t>(c.prefix >> 24U)};
    EXPECT_EQ(text(bulk_frame_body_length(header)), c.bulk) << c.prefix;
    EXPECT_EQ(text(media_frame_body_length(header)), c.media) << c.prefix;
  }
}

}  // namespace
}  // namespace kivo::protocol
