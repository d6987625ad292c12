// Message: the dictionary that crosses the service link. Keys are strings;
// a value is an unsigned 64-bit integer, a run of bytes, or a descriptor that
// the message owns. Move-only, because of the descriptors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "kivo/xpc/unique_fd.hpp"

namespace kivo::xpc {

// The numbers are the type bytes of the wire format.
enum class ValueType : std::uint8_t {
  kUint64 = 1,
  kData = 2,
  kDescriptor = 3,
};

class Message {
 public:
  using Value = std::variant<std::uint64_t, std::vector<std::uint8_t>, UniqueFd>;

  Message() = default;
  Message(Message&&) noexcept = default;
  Message& operator=(Message&&) noexcept = default;
  Message(const Message&) = delete;
  Message& operator=(const Message&) = delete;

  // Setting a key that is already present replaces its value (a replaced
  // descriptor is closed). Keys are checked when the message is encoded.
  void set_uint64(std::string key, std::uint64_t value);
  void set_data(std::string key, std::span<const std::uint8_t> bytes);
  void set_data(std::string key, std::vector<std::uint8_t> bytes);
  void set_data(std::string key, std::string_view text);
  void set_fd(std::string key, UniqueFd fd);

  // Absent when the key is missing or holds another type.
  std::optional<std::uint64_t> uint64(std::string_view key) const;
  std::optional<std::span<const std::uint8_t>> data(std::string_view key) const;
  // A new descriptor of the caller's own (close-on-exec) for a descriptor
  // entry; invalid when the key is missing, holds another type, or the
  // duplication fails. The message keeps and later closes its own copy.
  UniqueFd dup_fd(std::string_view key) const;

  std::optional<ValueType> type_of(std::string_view key) const;
  bool contains(std::string_view key) const { return entries_.find(key) != entries_.end(); }
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }

  // In key order, which is also the order of the wire encoding.
  const std::map<std::string, Value, std::less<>>& entries() const { return entries_; }

  // For the decoder: false when the key is already present.
  bool insert(std::string key, Value value);

 private:
  std::map<std::string, Value, std::less<>> entries_;
};

}  // namespace kivo::xpc
