#include "kivo/protocol/frames.hpp"

#include <initializer_list>
#include <limits>
#include <string_view>
#include <type_traits>

#include "kivo/core/utf8.hpp"

namespace kivo::protocol {
namespace {

using ByteSpan = std::span<const std::uint8_t>;

constexpr std::string_view kTrailingMediaBytes = "trailing media bytes";
constexpr std::string_view kTrailingThumbnailBytes = "trailing thumbnail bytes";

std::uint32_t load_u32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8U |
         static_cast<std::uint32_t>(p[2]) << 16U | static_cast<std::uint32_t>(p[3]) << 24U;
}

std::uint64_t load_u64(const std::uint8_t* p) {
  return static_cast<std::uint64_t>(load_u32(p)) | static_cast<std::uint64_t>(load_u32(p + 4))
                                                       << 32U;
}

// ---- decoding ---------------------------------------------------------------
//
// Offsets are body offsets (the kind byte is offset 0) held in 64 bits; every
// check adds lengths in 64 bits before comparing with the body size.

// Checks the length prefix against the input and the family's limit and
// returns the body.
ProtocolResult<ByteSpan> frame_body(ByteSpan frame, std::uint32_t max_body_length) {
  if (frame.size() <= kFrameLengthPrefixSize) return fail(ProtocolError::packet_too_short());
  const std::uint64_t body_length = load_u32(frame.data());
  if (body_length > max_body_length) return fail(ProtocolError::payload_too_large(body_length));
  if (frame.size() != body_length + kFrameLengthPrefixSize) {
    return fail(ProtocolError::packet_too_short());
  }
  return frame.subspan(kFrameLengthPrefixSize);
}

// The bytes of the length-prefixed field at `offset`, which must lie inside
// the body.
ProtocolResult<ByteSpan> field_at(ByteSpan body, std::uint64_t offset) {
  if (offset + 4 > body.size()) return fail(ProtocolError::packet_too_short());
  const std::uint64_t length = load_u32(body.data() + offset);
  if (offset + 4 + length > body.size()) return fail(ProtocolError::packet_too_short());
  return body.subspan(static_cast<std::size_t>(offset + 4), static_cast<std::size_t>(length));
}

// Whether `field` ends exactly where the body ends.
bool ends_body(ByteSpan body, ByteSpan field) {
  return field.data() + field.size() == body.data() + body.size();
}

// The length-prefixed field at `offset` that must be the last of the body.
ProtocolResult<ByteSpan> last_field_at(ByteSpan body, std::uint64_t offset) {
  auto field = field_at(body, offset);
  if (!field) return field;
  if (!ends_body(body, *field)) {
    return fail(ProtocolError::invalid_control_json(std::string(kTrailingMediaBytes)));
  }
  return field;
}

ProtocolResult<std::string> utf8_text(ByteSpan bytes) {
  if (auto error = find_utf8_error(bytes)) {
    return fail(ProtocolError::invalid_control_json(error->message()));
  }
  return std::string(bytes.begin(), bytes.end());
}

Bytes copy_bytes(ByteSpan bytes) {
  return Bytes(bytes.begin(), bytes.end());
}

ProtocolResult<BulkFrame> decode_file_data(ByteSpan body) {
  if (body.size() < 17) return fail(ProtocolError::packet_too_short());
  auto task_id_bytes = field_at(body, 17);
  if (!task_id_bytes) return fail(std::move(task_id_bytes).error());
  auto task_id = utf8_text(*task_id_bytes);
  if (!task_id) return fail(std::move(task_id).error());
  const std::uint64_t chunk_offset = 21 + std::uint64_t{task_id_bytes->size()};
  if (chunk_offset + 8 > body.size()) return fail(ProtocolError::packet_too_short());
  auto data = last_field_at(body, chunk_offset + 4);
  if (!data) return fail(std::move(data).error());
  return BulkFrame{BulkFrame::FileData{
      .route_id = load_u64(body.data() + 1),
      .packet_id = load_u64(body.data() + 9),
      .task_id = std::move(*task_id),
      .chunk_index = load_u32(body.data() + chunk_offset),
      .data = copy_bytes(*data),
  }};
}

// FileAck and Clipboard share their layout.
template <class Variant>
ProtocolResult<BulkFrame> decode_routed_payload(ByteSpan body) {
  if (body.size() < 9) return fail(ProtocolError::packet_too_short());
  auto payload = last_field_at(body, 9);
  if (!payload) return fail(std::move(payload).error());
  return BulkFrame{Variant{load_u64(body.data() + 1), copy_bytes(*payload)}};
}

ProtocolResult<BulkFrame> decode_clipboard_outbound(ByteSpan body) {
  if (body.size() < 17) return fail(ProtocolError::packet_too_short());
  auto packet = last_field_at(body, 17);
  if (!packet) return fail(std::move(packet).error());
  return BulkFrame{BulkFrame::ClipboardOutbound{
      .route_id = load_u64(body.data() + 1),
      .packet_id = load_u64(body.data() + 9),
      .packet = copy_bytes(*packet),
  }};
}

ProtocolResult<BulkFrame> decode_display_thumbnail(ByteSpan body) {
  if (body.size() <= 17) return fail(ProtocolError::packet_too_short());
  BulkFrame::DisplayThumbnail thumbnail{
      .request_id = load_u64(body.data() + 1),
      .display_id = load_u32(body.data() + 9),
      .index = load_u32(body.data() + 13),
      .result = {},
  };
  const std::uint8_t result = body[17];
  if (result == BulkFrame::ThumbnailImage::kResult) {
    auto jpeg = last_field_at(body, 18);
    if (!jpeg) return fail(std::move(jpeg).error());
    thumbnail.result = BulkFrame::ThumbnailImage{copy_bytes(*jpeg)};
  } else if (result == BulkFrame::ThumbnailFailure::kResult) {
    auto code_bytes = field_at(body, 18);
    if (!code_bytes) return fail(std::move(code_bytes).error());
    auto code = utf8_text(*code_bytes);
    if (!code) return fail(std::move(code).error());
    if (!ends_body(body, *code_bytes)) {
      return fail(ProtocolError::invalid_control_json(std::string(kTrailingThumbnailBytes)));
    }
    thumbnail.result = BulkFrame::ThumbnailFailure{std::move(*code)};
  } else {
    return fail(ProtocolError::invalid_message_type(result));
  }
  return BulkFrame{std::move(thumbnail)};
}

ProtocolResult<MediaFrame> decode_video(ByteSpan body) {
  if (body.size() <= 37) return fail(ProtocolError::packet_too_short());
  auto data = last_field_at(body, 34);
  if (!data) return fail(std::move(data).error());
  return MediaFrame{MediaFrame::Video{
      .agent_generation = load_u64(body.data() + 1),
      .capture_epoch = load_u64(body.data() + 9),
      .stream_epoch = load_u64(body.data() + 17),
      .sequence = load_u64(body.data() + 25),
      .keyframe = body[33] != 0,
      .data = copy_bytes(*data),
  }};
}

ProtocolResult<MediaFrame> decode_audio(ByteSpan body) {
  if (body.size() <= 40) return fail(ProtocolError::packet_too_short());
  auto data = last_field_at(body, 37);
  if (!data) return fail(std::move(data).error());
  return MediaFrame{MediaFrame::Audio{
      .agent_generation = load_u64(body.data() + 1),
      .capture_epoch = load_u64(body.data() + 9),
      .stream_epoch = load_u64(body.data() + 17),
      .sequence = load_u64(body.data() + 25),
      .packet_sequence = load_u32(body.data() + 33),
      .data = copy_bytes(*data),
  }};
}

ProtocolResult<MediaFrame> decode_playback(ByteSpan body) {
  if (body.size() <= 16) return fail(ProtocolError::packet_too_short());
  auto data = last_field_at(body, 13);
  if (!data) return fail(std::move(data).error());
  return MediaFrame{MediaFrame::Playback{
      .route_id = load_u64(body.data() + 1),
      .sequence = load_u32(body.data() + 9),
      .data = copy_bytes(*data),
  }};
}

ProtocolResult<MediaFrame> decode_short(ByteSpan body) {
  if (body.size() != MediaFrame::Short::kBodyLength) {
    return fail(ProtocolError::packet_too_short());
  }
  return MediaFrame{MediaFrame::Short{
      .value64 = load_u64(body.data() + 1),
      .value32 = load_u32(body.data() + 9),
  }};
}

// ---- encoding ---------------------------------------------------------------

// The body length of a frame with `fixed` bytes of fixed-size fields and the
// given length-prefixed fields (in wire order), or the first limit it breaks.
ProtocolResult<std::uint64_t> checked_body_length(std::uint64_t fixed,
                                                  std::initializer_list<std::size_t> fields,
                                                  std::uint32_t max_body_length) {
  std::uint64_t total = fixed;
  for (const std::size_t field : fields) {
    const std::uint64_t length = field;
    if (length > std::numeric_limits<std::uint32_t>::max()) {
      return fail(ProtocolError::payload_too_large(length));
    }
    total += 4 + length;
  }
  if (total > max_body_length) return fail(ProtocolError::payload_too_large(total));
  return total;
}

// Writes one frame into a buffer sized once for the whole of it.
class FrameWriter {
 public:
  explicit FrameWriter(std::uint64_t body_length) {
    out_.reserve(static_cast<std::size_t>(kFrameLengthPrefixSize + body_length));
    u32(static_cast<std::uint32_t>(body_length));
  }

  FrameWriter& u8(std::uint8_t value) {
    out_.push_back(value);
    return *this;
  }
  FrameWriter& u32(std::uint32_t value) {
    for (unsigned shift = 0; shift < 32; shift += 8) {
      out_.push_back(static_cast<std::uint8_t>(value >> shift));
    }
    return *this;
  }
  FrameWriter& u64(std::uint64_t value) {
    for (unsigned shift = 0; shift < 64; shift += 8) {
      out_.push_back(static_cast<std::uint8_t>(value >> shift));
    }
    return *this;
  }
  // A length-prefixed field; its length was checked by checked_body_length.
  FrameWriter& field(ByteSpan bytes) {
    u32(static_cast<std::uint32_t>(bytes.size()));
    out_.insert(out_.end(), bytes.begin(), bytes.end());
    return *this;
  }
  FrameWriter& field(std::string_view text) {
    return field(ByteSpan(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  }

  Bytes finish() { return std::move(out_); }

 private:
  Bytes out_;
};

ProtocolResult<Bytes> encode_bulk(const BulkFrame::FileData& f) {
  auto length = checked_body_length(21, {f.task_id.size(), f.data.size()}, kMaxBulkBodyLength);
  if (!length) return fail(std::move(length).error());
  return FrameWriter(*length)
      .u8(f.kKind)
      .u64(f.route_id)
      .u64(f.packet_id)
      .field(f.task_id)
      .u32(f.chunk_index)
      .field(f.data)
      .finish();
}

template <class Variant>
ProtocolResult<Bytes> encode_routed_payload(const Variant& f, const Bytes& payload) {
  auto length = checked_body_length(9, {payload.size()}, kMaxBulkBodyLength);
  if (!length) return fail(std::move(length).error());
  return FrameWriter(*length).u8(f.kKind).u64(f.route_id).field(payload).finish();
}

ProtocolResult<Bytes> encode_bulk(const BulkFrame::FileAck& f) {
  return encode_routed_payload(f, f.payload);
}

ProtocolResult<Bytes> encode_bulk(const BulkFrame::Clipboard& f) {
  return encode_routed_payload(f, f.packet);
}

ProtocolResult<Bytes> encode_bulk(const BulkFrame::ClipboardOutbound& f) {
  auto length = checked_body_length(17, {f.packet.size()}, kMaxBulkBodyLength);
  if (!length) return fail(std::move(length).error());
  return FrameWriter(*length).u8(f.kKind).u64(f.route_id).u64(f.packet_id).field(f.packet).finish();
}

ProtocolResult<Bytes> encode_bulk(const BulkFrame::DisplayThumbnail& f) {
  const bool is_image = std::holds_alternative<BulkFrame::ThumbnailImage>(f.result);
  const ByteSpan content = std::visit(
      [](const auto& result) -> ByteSpan {
        if constexpr (std::is_same_v<std::decay_t<decltype(result)>, BulkFrame::ThumbnailImage>) {
          return result.jpeg;
        } else {
          return {reinterpret_cast<const std::uint8_t*>(result.code.data()), result.code.size()};
        }
      },
      f.result);
  auto length = checked_body_length(18, {content.size()}, kMaxBulkBodyLength);
  if (!length) return fail(std::move(length).error());
  return FrameWriter(*length)
      .u8(f.kKind)
      .u64(f.request_id)
      .u32(f.display_id)
      .u32(f.index)
      .u8(is_image ? BulkFrame::ThumbnailImage::kResult : BulkFrame::ThumbnailFailure::kResult)
      .field(content)
      .finish();
}

ProtocolResult<Bytes> encode_media(const MediaFrame::Video& f) {
  auto length = checked_body_length(34, {f.data.size()}, kMaxMediaBodyLength);
  if (!length) return fail(std::move(length).error());
  return FrameWriter(*length)
      .u8(f.kKind)
      .u64(f.agent_generation)
      .u64(f.capture_epoch)
      .u64(f.stream_epoch)
      .u64(f.sequence)
      .u8(f.keyframe ? 1 : 0)
      .field(f.data)
      .finish();
}

ProtocolResult<Bytes> encode_media(const MediaFrame::Audio& f) {
  auto length = checked_body_length(37, {f.data.size()}, kMaxMediaBodyLength);
  if (!length) return fail(std::move(length).error());
  return FrameWriter(*length)
      .u8(f.kKind)
      .u64(f.agent_generation)
      .u64(f.capture_epoch)
      .u64(f.stream_epoch)
      .u64(f.sequence)
      .u32(f.packet_sequence)
      .field(f.data)
      .finish();
}

ProtocolResult<Bytes> encode_media(const MediaFrame::Playback& f) {
  auto length = checked_body_length(13, {f.data.size()}, kMaxMediaBodyLength);
  if (!length) return fail(std::move(length).error());
  return FrameWriter(*length).u8(f.kKind).u64(f.route_id).u32(f.sequence).field(f.data).finish();
}

ProtocolResult<Bytes> encode_media(const MediaFrame::Short& f) {
  return FrameWriter(MediaFrame::Short::kBodyLength)
      .u8(f.kKind)
      .u64(f.value64)
      .u32(f.value32)
      .finish();
}

ProtocolResult<std::uint32_t> body_length_from_prefix(
    std::span<const std::uint8_t, kFrameLengthPrefixSize> prefix, std::uint32_t max_body_length) {
  const std::uint32_t body_length = load_u32(prefix.data());
  if (body_length > max_body_length) return fail(ProtocolError::payload_too_large(body_length));
  if (body_length == 0) return fail(ProtocolError::packet_too_short());
  return body_length;
}

}  // namespace

std::uint8_t BulkFrame::kind() const {
  return std::visit([](const auto& v) { return std::decay_t<decltype(v)>::kKind; }, value);
}

std::uint8_t MediaFrame::kind() const {
  return std::visit([](const auto& v) { return std::decay_t<decltype(v)>::kKind; }, value);
}

ProtocolResult<Bytes> encode_bulk_frame(const BulkFrame& frame) {
  return std::visit([](const auto& v) { return encode_bulk(v); }, frame.value);
}

ProtocolResult<Bytes> encode_media_frame(const MediaFrame& frame) {
  return std::visit([](const auto& v) { return encode_media(v); }, frame.value);
}

ProtocolResult<BulkFrame> decode_bulk_frame(std::span<const std::uint8_t> frame) {
  auto body = frame_body(frame, kMaxBulkBodyLength);
  if (!body) return fail(std::move(body).error());
  const std::uint8_t kind = (*body)[0];
  switch (kind) {
    case BulkFrame::FileData::kKind:
      return decode_file_data(*body);
    case BulkFrame::FileAck::kKind:
      return decode_routed_payload<BulkFrame::FileAck>(*body);
    case BulkFrame::Clipboard::kKind:
      return decode_routed_payload<BulkFrame::Clipboard>(*body);
    case BulkFrame::ClipboardOutbound::kKind:
      return decode_clipboard_outbound(*body);
    case BulkFrame::DisplayThumbnail::kKind:
      return decode_display_thumbnail(*body);
    default:
      return fail(ProtocolError::invalid_message_type(kind));
  }
}

ProtocolResult<MediaFrame> decode_media_frame(std::span<const std::uint8_t> frame) {
  auto body = frame_body(frame, kMaxMediaBodyLength);
  if (!body) return fail(std::move(body).error());
  const std::uint8_t kind = (*body)[0];
  switch (kind) {
    case MediaFrame::Video::kKind:
      return decode_video(*body);
    case MediaFrame::Audio::kKind:
      return decode_audio(*body);
    case MediaFrame::Playback::kKind:
      return decode_playback(*body);
    case MediaFrame::Short::kKind:
      return decode_short(*body);
    default:
      return fail(ProtocolError::invalid_message_type(kind));
  }
}

ProtocolResult<std::uint32_t> bulk_frame_body_length(
    std::span<const std::uint8_t, kFrameLengthPrefixSize> prefix) {
  return body_length_from_prefix(prefix, kMaxBulkBodyLength);
}

ProtocolResult<std::uint32_t> media_frame_body_length(
    std::span<const std::uint8_t, kFrameLengthPrefixSize> prefix) {
  return body_length_from_prefix(prefix, kMaxMediaBodyLength);
}

}  // namespace kivo::protocol
