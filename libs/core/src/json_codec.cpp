#include "kivo/core/json_codec.hpp"

#include <fmt/format.h>

namespace kivo::json {

KivoError invalid_type(const Value& found, std::string_view expected) {
  return KivoError::json(
      fmt::format("invalid type: {}, expected {}", describe_unexpected(found), expected));
}

KivoError invalid_value(const Value& found, std::string_view expected) {
  return KivoError::json(
      fmt::format("invalid value: {}, expected {}", describe_unexpected(found), expected));
}

KivoError missing_field(std::string_view name) {
  return KivoError::json(fmt::format("missing field `{}`", name));
}

KivoError duplicate_field(std::string_view name) {
  return KivoError::json(fmt::format("duplicate field `{}`", name));
}

KivoError invalid_length(std::size_t length, std::string_view expected) {
  return KivoError::json(fmt::format("invalid length {}, expected {}", length, expected));
}

KivoError unknown_variant(std::string_view found, std::span<const std::string_view> expected) {
  std::string names;
  if (expected.empty()) {
    names = "there are no variants";
  } else if (expected.size() == 1) {
    names = fmt::format("expected `{}`", expected[0]);
  } else if (expected.size() == 2) {
    names = fmt::format("expected `{}` or `{}`", expected[0], expected[1]);
  } else {
    names = "expected one of ";
    for (std::size_t i = 0; i < expected.size(); ++i) {
      if (i > 0) names += ", ";
      names += fmt::format("`{}`", expected[i]);
    }
  }
  return KivoError::json(fmt::format("unknown variant `{}`, {}", found, names));
}

Result<bool> Codec<bool>::decode(const Value& v) {
  if (!v.is_bool()) return fail(invalid_type(v, "a boolean"));
  return v.as_bool();
}

Result<double> Codec<double>::decode(const Value& v) {
  if (v.is_double()) return v.as_double();
  if (v.is_unsigned()) return static_cast<double>(v.as_unsigned());
  if (v.is_signed()) return static_cast<double>(v.as_signed());
  return fail(invalid_type(v, "f64"));
}

Result<std::string> Codec<std::string>::decode(const Value& v) {
  if (!v.is_string()) return fail(invalid_type(v, "a string"));
  return v.as_string();
}

namespace detail {

std::string struct_length_expectation(std::string_view name, std::size_t count) {
  return fmt::format("struct {} with {} element{}", name, count, count == 1 ? "" : "s");
}

Result<std::string_view> find_tag(const Value& v, std::string_view union_name,
                                  std::string_view tag_key) {
  if (!v.is_object()) {
    return fail(invalid_type(v, fmt::format("internally tagged enum {}", union_name)));
  }
  const Value* tag = nullptr;
  for (const Member& member : v.as_object()) {
    if (member.key != tag_key) continue;
    if (tag != nullptr) return fail(duplicate_field(tag_key));
    tag = &member.value;
  }
  if (tag == nullptr) return fail(missing_field(tag_key));
  if (!tag->is_string()) return fail(invalid_type(*tag, "variant identifier"));
  return std::string_view(tag->as_string());
}

}  // namespace detail
}  // namespace kivo::json
