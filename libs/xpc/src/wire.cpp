#include "kivo/xpc/wire.hpp"

#include <fmt/format.h>

#include <string>
#include <type_traits>
#include <utility>

#include "kivo/core/utf8.hpp"

namespace kivo::xpc {
namespace {

KivoError malformed(std::string reason) {
  return KivoError::invalid_message(fmt::format("malformed service link message: {}", reason));
}

template <class T>
void put_le(std::vector<std::uint8_t>& out, T value) {
  static_assert(std::is_unsigned_v<T>);
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  }
}

template <class T>
T get_le(const std::uint8_t* bytes) {
  static_assert(std::is_unsigned_v<T>);
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    value = static_cast<T>(value | static_cast<T>(static_cast<T>(bytes[i]) << (8 * i)));
  }
  return value;
}

// Reads from a body without ever stepping past its end. Every check compares
// a wanted length with what is left, so no offset arithmetic can overflow.
class BodyReader {
 public:
  explicit BodyReader(std::span<const std::uint8_t> body) : body_(body) {}

  std::uint64_t remaining() const { return body_.size() - offset_; }

  template <class T>
  bool read(T& value) {
    if (remaining() < sizeof(T)) return false;
    value = get_le<T>(body_.data() + offset_);
    offset_ += sizeof(T);
    return true;
  }

  bool read_bytes(std::uint64_t length, std::span<const std::uint8_t>& bytes) {
    if (remaining() < length) return false;
    bytes = body_.subspan(offset_, static_cast<std::size_t>(length));
    offset_ += static_cast<std::size_t>(length);
    return true;
  }

 private:
  std::span<const std::uint8_t> body_;
  std::size_t offset_ = 0;
};

std::uint64_t value_size(const Message::Value& value) {
  if (std::holds_alternative<std::vector<std::uint8_t>>(value)) {
    return 4 + static_cast<std::uint64_t>(std::get<std::vector<std::uint8_t>>(value).size());
  }
  if (std::holds_alternative<UniqueFd>(value)) return 4;
  return 8;
}

}  // namespace

std::string_view key_problem(std::string_view key) {
  if (key.empty()) return "empty key";
  if (key.size() > kMaxKeyLength) return "key longer than 255 bytes";
  if (key.find('\0') != std::string_view::npos) return "key contains NUL";
  if (!kivo::is_utf8(key)) return "key is not valid UTF-8";
  return {};
}

Result<EncodedMessage> encode_message(std::uint64_t message_id, std::uint64_t reply_to,
                                      const Message& message) {
  std::uint64_t body_length = kHeaderSize;
  std::size_t descriptor_count = 0;
  for (const auto& [key, value] : message.entries()) {
    if (const auto problem = key_problem(key); !problem.empty()) {
      return fail(KivoError::invalid_message(
          fmt::format("cannot encode service link message: {}", problem)));
    }
    if (const auto* fd = std::get_if<UniqueFd>(&value)) {
      if (!fd->valid()) {
        return fail(KivoError::invalid_message(fmt::format(
            "cannot encode service link message: entry \"{}\" holds no descriptor", key)));
      }
      ++descriptor_count;
    }
    body_length += 2 + key.size() + 1 + value_size(value);
  }
  if (descriptor_count > kMaxDescriptors) {
    return fail(KivoError::invalid_message(
        fmt::format("cannot encode service link message: {} descriptors, at most {}",
                    descriptor_count, kMaxDescriptors)));
  }
  if (body_length > kMaxBodyLength) {
    return fail(KivoError::invalid_message(
        fmt::format("cannot encode service link message: body of {} bytes exceeds {}", body_length,
                    kMaxBodyLength)));
  }

  EncodedMessage encoded;
  auto& out = encoded.bytes;
  out.reserve(kLengthPrefixSize + static_cast<std::size_t>(body_length));
  put_le(out, static_cast<std::uint32_t>(body_length));
  put_le(out, message_id);
  put_le(out, reply_to);
  put_le(out, static_cast<std::uint32_t>(message.size()));
  for (const auto& [key, value] : message.entries()) {
    put_le(out, static_cast<std::uint16_t>(key.size()));
    out.insert(out.end(), key.begin(), key.end());
    if (const auto* number = std::get_if<std::uint64_t>(&value)) {
      out.push_back(static_cast<std::uint8_t>(ValueType::kUint64));
      put_le(out, *number);
    } else if (const auto* bytes = std::get_if<std::vector<std::uint8_t>>(&value)) {
      out.push_back(static_cast<std::uint8_t>(ValueType::kData));
      put_le(out, static_cast<std::uint32_t>(bytes->size()));
      out.insert(out.end(), bytes->begin(), bytes->end());
    } else {
      out.push_back(static_cast<std::uint8_t>(ValueType::kDescriptor));
      put_le(out, static_cast<std::uint32_t>(encoded.descriptors.size()));
      encoded.descriptors.push_back(std::get<UniqueFd>(value).get());
    }
  }
  return encoded;
}

void set_message_id(EncodedMessage& encoded, std::uint64_t message_id) {
  for (std::size_t i = 0; i < sizeof(message_id); ++i) {
    encoded.bytes[kLengthPrefixSize + i] = static_cast<std::uint8_t>(message_id >> (8 * i));
  }
}

Result<std::uint32_t> decode_body_length(std::span<const std::uint8_t, kLengthPrefixSize> prefix) {
  const auto length = get_le<std::uint32_t>(prefix.data());
  if (length < kMinBodyLength || length > kMaxBodyLength) {
    return fail(malformed(fmt::format("body length {} out of range", length)));
  }
  return length;
}

Result<WireMessage> decode_body(std::span<const std::uint8_t> body,
                                std::vector<UniqueFd> descriptors) {
  // `descriptors` is owned here: on every early return the ones not yet moved
  // into the message, and the message with the others, are closed.
  const std::uint64_t body_length = body.size();
  if (body_length < kMinBodyLength || body_length > kMaxBodyLength) {
    return fail(malformed(fmt::format("body length {} out of range", body_length)));
  }
  if (descriptors.size() > kMaxDescriptors) {
    return fail(
        malformed(fmt::format("{} descriptors, at most {}", descriptors.size(), kMaxDescriptors)));
  }

  BodyReader reader(body);
  WireMessage decoded;
  std::uint32_t entry_count = 0;
  reader.read(decoded.message_id);
  reader.read(decoded.reply_to);
  reader.read(entry_count);
  if (decoded.message_id == 0) return fail(malformed("message_id 0"));

  std::vector<bool> named(descriptors.size(), false);
  for (std::uint32_t entry = 0; entry < entry_count; ++entry) {
    std::uint16_t key_length = 0;
    std::span<const std::uint8_t> key_bytes;
    std::uint8_t type = 0;
    if (!reader.read(key_length) || !reader.read_bytes(key_length, key_bytes) ||
        !reader.read(type)) {
      return fail(malformed("entry runs past the end of the body"));
    }
    std::string key(key_bytes.begin(), key_bytes.end());
    if (const auto problem = key_problem(key); !problem.empty()) {
      return fail(malformed(std::string(problem)));
    }

    Message::Value value;
    switch (type) {
      case static_cast<std::uint8_t>(ValueType::kUint64): {
        std::uint64_t number = 0;
        if (!reader.read(number)) return fail(malformed("entry runs past the end of the body"));
        value = number;
        break;
      }
      case static_cast<std::uint8_t>(ValueType::kData): {
        std::uint32_t length = 0;
        std::span<const std::uint8_t> bytes;
        if (!reader.read(length) || !reader.read_bytes(length, bytes)) {
          return fail(malformed("entry runs past the end of the body"));
        }
        value = std::vector<std::uint8_t>(bytes.begin(), bytes.end());
        break;
      }
      case static_cast<std::uint8_t>(ValueType::kDescriptor): {
        std::uint32_t index = 0;
        if (!reader.read(index)) return fail(malformed("entry runs past the end of the body"));
        if (index >= descriptors.size()) {
          return fail(malformed(fmt::format("descriptor index {} without a descriptor", index)));
        }
        if (named[index]) {
          return fail(malformed(fmt::format("descriptor {} named by more than one entry", index)));
        }
        named[index] = true;
        value = std::move(descriptors[index]);
        break;
      }
      default:
        return fail(malformed(fmt::format("unknown entry type {}", type)));
    }
    if (!decoded.message.insert(std::move(key), std::move(value))) {
      return fail(malformed("duplicate key"));
    }
  }
  if (reader.remaining() != 0) {
    return fail(malformed(fmt::format("{} bytes left after the last entry", reader.remaining())));
  }
  for (std::size_t index = 0; index < named.size(); ++index) {
    if (!named[index]) {
      return fail(malformed(fmt::format("descriptor {} named by no entry", index)));
    }
  }
  return decoded;
}

}  // namespace kivo::xpc
