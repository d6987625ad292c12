#include "kivo/xpc/message.hpp"

#include <utility>

namespace kivo::xpc {

void Message::set_uint64(std::string key, std::uint64_t value) {
  entries_.insert_or_assign(std::move(key), Value(value));
}

void Message::set_data(std::string key, std::span<const std::uint8_t> bytes) {
  set_data(std::move(key), std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
}

void Message::set_data(std::string key, std::vector<std::uint8_t> bytes) {
  entries_.insert_or_assign(std::move(key), Value(std::move(bytes)));
}

void Message::set_data(std::string key, std::string_view text) {
  set_data(std::move(key), std::vector<std::uint8_t>(text.begin(), text.end()));
}

void Message::set_fd(std::string key, UniqueFd fd) {
  entries_.insert_or_assign(std::move(key), Value(std::move(fd)));
}

std::optional<std::uint64_t> Message::uint64(std::string_view key) const {
  const auto it = entries_.find(key);
  if (it == entries_.end()) return std::nullopt;
  if (const auto* value = std::get_if<std::uint64_t>(&it->second)) return *value;
  return std::nullopt;
}

std::optional<std::span<const std::uint8_t>> Message::data(std::string_view key) const {
  const auto it = entries_.find(key);
  if (it == entries_.end()) return std::nullopt;
  if (const auto* value = std::get_if<std::vector<std::uint8_t>>(&it->second)) {
    return std::span<const std::uint8_t>(*value);
  }
  return std::nullopt;
}

UniqueFd Message::dup_fd(std::string_view key) const {
  const auto it = entries_.find(key);
  if (it == entries_.end()) return {};
  const auto* fd = std::get_if<UniqueFd>(&it->second);
  if (fd == nullptr) return {};
  auto copy = fd->duplicate();
  if (!copy) return {};
  return std::move(*copy);
}

std::optional<ValueType> Message::type_of(std::string_view key) const {
  const auto it = entries_.find(key);
  if (it == entries_.end()) return std::nullopt;
  switch (it->second.index()) {
    case 0:
      return ValueType::kUint64;
    case 1:
      return ValueType::kData;
    default:
      return ValueType::kDescriptor;
  }
}

bool Message::insert(std::string key, Value value) {
  return entries_.try_emplace(std::move(key), std::move(value)).second;
}

}  // namespace kivo::xpc
