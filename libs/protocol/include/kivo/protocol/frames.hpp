// The frames of the agent's two stream sockets. Each frame is a 4-byte
// little-endian body length L followed by L body bytes; the first body byte is
// the kind. The bulk socket carries file chunks, file acknowledgements,
// clipboard packets and display thumbnails (bodies up to 32 MiB); the media
// socket carries encoded video and audio and the peer's audio (up to 16 MiB).
// Both limits are inclusive.
//
// Copies: a decoded frame owns its strings and byte fields, so it outlives the
// buffer it came from (the socket reader reuses its buffer). Each byte field is
// copied exactly once, straight from the input into the field; a 16 MiB video
// frame therefore costs one 16 MiB copy and one allocation. Encoding likewise
// sizes the output once and copies each field into it once.
//
// Every bound is computed in 64-bit arithmetic, so a length field near 2^32
// cannot wrap a check into a read past the end of the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "kivo/protocol/protocol_error.hpp"

namespace kivo::protocol {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::size_t kFrameLengthPrefixSize = 4;
inline constexpr std::uint32_t kMaxBulkBodyLength = 0x2000000;   // 32 MiB
inline constexpr std::uint32_t kMaxMediaBodyLength = 0x1000000;  // 16 MiB

struct BulkFrame {
  // A chunk of a file transfer, in both directions.
  struct FileData {
    static constexpr std::uint8_t kKind = 0x11;
    std::uint64_t route_id = 0;
    // The agent's bulk packet id (see next_epoch); unused on frames it reads.
    std::uint64_t packet_id = 0;
    std::string task_id;  // UTF-8, the receiver's task id
    std::uint32_t chunk_index = 0;
    Bytes data;
    friend bool operator==(const FileData&, const FileData&) = default;
  };
  // One JSON FILE_CHUNK_ACK document, in both directions.
  struct FileAck {
    static constexpr std::uint8_t kKind = 0x12;
    std::uint64_t route_id = 0;
    Bytes payload;
    friend bool operator==(const FileAck&, const FileAck&) = default;
  };
  // A clipboard packet from the peer.
  struct Clipboard {
    static constexpr std::uint8_t kKind = 0x33;
    std::uint64_t route_id = 0;
    Bytes packet;
    friend bool operator==(const Clipboard&, const Clipboard&) = default;
  };
  // A clipboard packet of the agent's, towards the peer.
  struct ClipboardOutbound {
    static constexpr std::uint8_t kKind = 0x34;
    std::uint64_t route_id = 0;
    std::uint64_t packet_id = 0;
    Bytes packet;
    friend bool operator==(const ClipboardOutbound&, const ClipboardOutbound&) = default;
  };
  // The answer to a display thumbnail request: a JPEG image (result byte 0)
  // or a failure code such as "thumbnail.empty" (result byte 1).
  struct ThumbnailImage {
    static constexpr std::uint8_t kResult = 0;
    Bytes jpeg;
    friend bool operator==(const ThumbnailImage&, const ThumbnailImage&) = default;
  };
  struct ThumbnailFailure {
    static constexpr std::uint8_t kResult = 1;
    std::string code;  // UTF-8
    friend bool operator==(const ThumbnailFailure&, const ThumbnailFailure&) = default;
  };
  struct DisplayThumbnail {
    static constexpr std::uint8_t kKind = 0x35;
    std::uint64_t request_id = 0;
    std::uint32_t display_id = 0;
    std::uint32_t index = 0;
    std::variant<ThumbnailImage, ThumbnailFailure> result;
    friend bool operator==(const DisplayThumbnail&, const DisplayThumbnail&) = default;
  };

  std::variant<FileData, FileAck, Clipboard, ClipboardOutbound, DisplayThumbnail> value;

  std::uint8_t kind() const;
  friend bool operator==(const BulkFrame&, const BulkFrame&) = default;
};

struct MediaFrame {
  // One encoded access unit in Annex B form.
  struct Video {
    static constexpr std::uint8_t kKind = 0x01;
    std::uint64_t agent_generation = 0;
    std::uint64_t capture_epoch = 0;
    std::uint64_t stream_epoch = 0;
    std::uint64_t sequence = 0;  // within the capture epoch
    // Written as 1 or 0; any non-zero byte reads as a key frame.
    bool keyframe = false;
    Bytes data;
    friend bool operator==(const Video&, const Video&) = default;
  };
  // One encoded packet of system audio.
  struct Audio {
    static constexpr std::uint8_t kKind = 0x02;
    std::uint64_t agent_generation = 0;
    std::uint64_t capture_epoch = 0;
    std::uint64_t stream_epoch = 0;     // the agent repeats the capture epoch
    std::uint64_t sequence = 0;         // within the capture epoch
    std::uint32_t packet_sequence = 0;  // the same number as inside the packet
    Bytes data;
    friend bool operator==(const Audio&, const Audio&) = default;
  };
  // Audio from the peer, to play.
  struct Playback {
    static constexpr std::uint8_t kKind = 0x42;
    std::uint64_t route_id = 0;
    std::uint32_t sequence = 0;  // 0: use the number inside the packet
    Bytes data;
    friend bool operator==(const Playback&, const Playback&) = default;
  };
  // A fixed 13-byte body the agent never writes and drops when it reads one.
  struct Short {
    static constexpr std::uint8_t kKind = 0x7F;
    static constexpr std::uint32_t kBodyLength = 13;
    std::uint64_t value64 = 0;
    std::uint32_t value32 = 0;
    friend bool operator==(const Short&, const Short&) = default;
  };

  std::variant<Video, Audio, Playback, Short> value;

  std::uint8_t kind() const;
  friend bool operator==(const MediaFrame&, const MediaFrame&) = default;
};

// The whole frame, length prefix included. Fails with payload_too_large when
// a byte field or text is longer than a 4-byte length can say (carrying the
// field's length) or the body is longer than the family allows (carrying the
// body length). Texts are written as given; callers pass UTF-8.
ProtocolResult<Bytes> encode_bulk_frame(const BulkFrame& frame);
ProtocolResult<Bytes> encode_media_frame(const MediaFrame& frame);

// `frame` is exactly one whole frame, length prefix included; a prefix that
// announces fewer or more bytes than given is "packet too short". Surplus
// bytes after the last field of the body are "invalid control JSON: trailing
// media bytes" ("... trailing thumbnail bytes" after a thumbnail failure
// code); texts that are not UTF-8 carry the UTF-8 validator's message.
ProtocolResult<BulkFrame> decode_bulk_frame(std::span<const std::uint8_t> frame);
ProtocolResult<MediaFrame> decode_media_frame(std::span<const std::uint8_t> frame);

// For stream readers: given the 4-byte length prefix read first, the number of
// body bytes that follow it, or the error that the frame fails with whatever
// its body holds (payload_too_large above the family's limit, packet_too_short
// for an empty body). Agrees with the decoders on every prefix, so a reader
// reads the prefix, asks here, reads that many bytes and decodes the whole.
ProtocolResult<std::uint32_t> bulk_frame_body_length(
    std::span<const std::uint8_t, kFrameLengthPrefixSize> prefix);
ProtocolResult<std::uint32_t> media_frame_body_length(
    std::span<const std::uint8_t, kFrameLengthPrefixSize> prefix);

}  // namespace kivo::protocol
