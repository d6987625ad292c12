#include "kivo/video/annexb.hpp"

namespace kivo::video {
namespace {

constexpr std::uint8_t kStartCode[] = {0, 0, 0, 1};

}  // namespace

protocol::ProtocolResult<std::vector<std::uint8_t>> avcc_to_annexb(
    std::span<const std::uint8_t> data, int nal_length_size) {
  if (nal_length_size < 1 || nal_length_size > 4) {
    return fail(protocol::ProtocolError::invalid_nal_layout());
  }
  const auto n = static_cast<std::size_t>(nal_length_size);
  std::vector<std::uint8_t> out;
  // A 4-byte length becomes a 4-byte start code; shorter lengths grow.
  out.reserve(data.size() + (4 - n) * (data.size() / (n + 1) + 1));
  std::size_t offset = 0;
  while (offset < data.size()) {
    if (data.size() - offset < n) return fail(protocol::ProtocolError::invalid_nal_layout());
    std::size_t length = 0;
    for (std::size_t i = 0; i < n; ++i) length = (length << 8) | data[offset + i];
    offset += n;
    if (length == 0 || length > data.size() - offset) {
      return fail(protocol::ProtocolError::invalid_nal_layout());
    }
    out.insert(out.end(), std::begin(kStartCode), std::end(kStartCode));
    out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(offset),
               data.begin() + static_cast<std::ptrdiff_t>(offset + length));
    offset += length;
  }
  return out;
}

NalSummary scan_annexb(std::span<const std::uint8_t> annexb) {
  NalSummary summary;
  // A 4-byte start code ends in the same 00 00 01 as a 3-byte one.
  for (std::size_t i = 0; i + 3 < annexb.size(); ++i) {
    if (annexb[i] != 0 || annexb[i + 1] != 0 || annexb[i + 2] != 1) continue;
    const std::uint8_t type = annexb[i + 3] & 0x1F;
    summary.key_frame = summary.key_frame || type == kNalTypeIdr;
    summary.has_sps = summary.has_sps || type == kNalTypeSps;
    summary.has_pps = summary.has_pps || type == kNalTypePps;
    i += 2;
  }
  return summary;
}

std::vector<std::uint8_t> parameter_set_prefix(
    std::span<const std::vector<std::uint8_t>> parameter_sets) {
  std::vector<std::uint8_t> prefix;
  std::size_t taken = 0;
  for (const auto& set : parameter_sets) {
    if (taken == kMaxParameterSets) break;
    ++taken;
    if (set.empty()) continue;
    prefix.insert(prefix.end(), std::begin(kStartCode), std::end(kStartCode));
    prefix.insert(prefix.end(), set.begin(), set.end());
  }
  return prefix;
}

}  // namespace kivo::video
