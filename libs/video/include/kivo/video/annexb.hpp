// Annex B: the byte-stream form of H.264 the remote decoder takes, every NAL
// unit behind the start code 00 00 00 01, with SPS and PPS in front of every
// key frame. Encoders hand out AVCC (each NAL unit behind a big-endian
// length) with the parameter sets kept apart; these functions bridge the two.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "kivo/protocol/protocol_error.hpp"

namespace kivo::video {

inline constexpr std::uint8_t kNalTypeIdr = 5;
inline constexpr std::uint8_t kNalTypeSps = 7;
inline constexpr std::uint8_t kNalTypePps = 8;
inline constexpr std::size_t kMaxParameterSets = 8;

// Rewrites AVCC with `nal_length_size`-byte lengths (1 to 4) as Annex B.
// Every fault (bad length size, a zero length, a length or length field
// running past the end) is ProtocolError "invalid NAL layout", with no
// partial output. Empty input gives empty output.
protocol::ProtocolResult<std::vector<std::uint8_t>> avcc_to_annexb(
    std::span<const std::uint8_t> data, int nal_length_size);

// What an Annex B access unit holds, from the type (low 5 bits of the byte
// after each 3- or 4-byte start code) of its NAL units.
struct NalSummary {
  bool key_frame = false;  // an IDR slice
  bool has_sps = false;
  bool has_pps = false;
  friend bool operator==(const NalSummary&, const NalSummary&) = default;
};
NalSummary scan_annexb(std::span<const std::uint8_t> annexb);

// 00 00 00 01 + set for each non-empty set, in order, at most
// kMaxParameterSets of them.
std::vector<std::uint8_t> parameter_set_prefix(
    std::span<const std::vector<std::uint8_t>> parameter_sets);

}  // namespace kivo::video
