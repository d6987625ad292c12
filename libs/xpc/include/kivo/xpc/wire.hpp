// The byte layout of one message on the service link, as pure functions.
//
//   u32 body length B (20 ..= 64 MiB), then the body:
//   u64 message_id (never 0), u64 reply_to (0: answers nothing), u32 entry count,
//   entries: u16 key length (1..=255), key (UTF-8, no NUL, unique),
//            u8 type, value (1: u64; 2: u32 length + bytes; 3: u32 descriptor index).
//
// All integers are little-endian. A message carries at most 8 descriptors and
// every one of them is named by exactly one entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "kivo/core/result.hpp"
#include "kivo/xpc/message.hpp"
#include "kivo/xpc/unique_fd.hpp"

namespace kivo::xpc {

inline constexpr std::size_t kLengthPrefixSize = 4;
inline constexpr std::size_t kHeaderSize = 20;  // message_id, reply_to, entry count
inline constexpr std::uint32_t kMinBodyLength = 20;
inline constexpr std::uint32_t kMaxBodyLength = 64u * 1024u * 1024u;
inline constexpr std::size_t kMaxDescriptors = 8;
inline constexpr std::size_t kMaxKeyLength = 255;

struct WireMessage {
  std::uint64_t message_id = 0;
  std::uint64_t reply_to = 0;
  Message message;
};

struct EncodedMessage {
  // The length prefix followed by the body.
  std::vector<std::uint8_t> bytes;
  // The descriptors to pass with the bytes, in index order. Borrowed: they
  // stay owned by the message that was encoded.
  std::vector<int> descriptors;

  std::size_t body_length() const { return bytes.size() - kLengthPrefixSize; }
};

// Fails with InvalidMessage for what the format cannot carry: a bad key, a
// descriptor entry without a descriptor, more than 8 descriptors, a body
// over 64 MiB. Any message_id is accepted, so that a caller may encode first
// and number the message later (`set_message_id`).
Result<EncodedMessage> encode_message(std::uint64_t message_id, std::uint64_t reply_to,
                                      const Message& message);

// Overwrites the message_id of an encoded message.
void set_message_id(EncodedMessage& encoded, std::uint64_t message_id);

// The body length announced by a length prefix; InvalidMessage when out of range.
Result<std::uint32_t> decode_body_length(std::span<const std::uint8_t, kLengthPrefixSize> prefix);

// Decodes one body together with the descriptors that came with it. A body
// that breaks any rule of the format fails with InvalidMessage, and then
// every one of `descriptors` has been closed when this returns.
Result<WireMessage> decode_body(std::span<const std::uint8_t> body,
                                std::vector<UniqueFd> descriptors);

// Empty when `key` can be carried, else what is wrong with it.
std::string_view key_problem(std::string_view key);

}  // namespace kivo::xpc
