#include "kivo/core/debug_text.hpp"

#include <fmt/format.h>

namespace kivo {
namespace {

void append_escaped(std::string& out, char c) {
  switch (c) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    case '\0':
      out += "\\0";
      return;
    default:
      break;
  }
  const auto byte = static_cast<unsigned char>(c);
  if (byte < 0x20 || byte == 0x7f) {
    out += fmt::format("\\u{{{:x}}}", byte);
  } else {
    out += c;
  }
}

}  // namespace

std::string debug_quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (char c : text) append_escaped(out, c);
  out += '"';
  return out;
}

}  // namespace kivo
