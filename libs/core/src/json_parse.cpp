#include "kivo/core/json_parse.hpp"

#include <fmt/format.h>

#include <nlohmann/json.hpp>
#include <optional>

namespace kivo::json {
namespace {

constexpr std::size_t kMaxDepth = 128;

// Builds a Value through nlohmann's SAX interface: unlike its DOM parse, this
// keeps repeated keys and member order, which the strict readers need.
class TreeBuilder {
 public:
  using number_integer_t = std::int64_t;
  using number_unsigned_t = std::uint64_t;
  using number_float_t = double;
  using string_t = std::string;
  using binary_t = nlohmann::json::binary_t;

  bool null() { return put(Value(nullptr)); }
  bool boolean(bool b) { return put(Value(b)); }
  bool number_integer(std::int64_t i) { return put(Value(i)); }
  bool number_unsigned(std::uint64_t u) { return put(Value(u)); }
  bool number_float(double d, const std::string&) { return put(Value(d)); }
  bool string(std::string& s) { return put(Value(std::move(s))); }
  bool binary(binary_t&) { return false; }

  bool start_object(std::size_t) { return open(Value(Object{})); }
  bool key(std::string& k) {
    stack_.back().as_object().push_back(Member{std::move(k), Value()});
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t) { return open(Value(Array{})); }
  bool end_array() { return close(); }

  bool parse_error(std::size_t position, const std::string&,
                   const nlohmann::json::exception& error) {
    error_position_ = position;
    error_text_ = error.what();
    return false;
  }

  bool depth_exceeded() const { return depth_exceeded_; }
  std::optional<std::size_t> error_position() const { return error_position_; }
  const std::string& error_text() const { return error_text_; }
  Value take() { return std::move(root_); }

 private:
  bool put(Value value) {
    if (stack_.empty()) {
      root_ = std::move(value);
    } else if (stack_.back().is_array()) {
      stack_.back().as_array().push_back(std::move(value));
    } else {
      stack_.back().as_object().back().value = std::move(value);
    }
    return true;
  }
  bool open(Value container) {
    if (stack_.size() >= kMaxDepth) {
      depth_exceeded_ = true;
      return false;
    }
    stack_.push_back(std::move(container));
    return true;
  }
  bool close() {
    Value done = std::move(stack_.back());
    stack_.pop_back();
    return put(std::move(done));
  }

  std::vector<Value> stack_;
  Value root_;
  bool depth_exceeded_ = false;
  std::optional<std::size_t> error_position_;
  std::string error_text_;
};

struct Position {
  std::size_t line;
  std::size_t column;
};

// Line and column (both from 1) of the character at the given count of
// characters read; at the end of the input, the column after the last one.
Position position_of(std::string_view text, std::size_t chars_read) {
  std::size_t end = std::min(chars_read, text.size());
  Position position{1, 0};
  for (std::size_t i = 0; i < end; ++i) {
    if (text[i] == '\n') {
      ++position.line;
      position.column = 0;
    } else {
      ++position.column;
    }
  }
  return position;
}

bool contains(std::string_view haystack, std::string_view needle) {
  return haystack.find(needle) != std::string_view::npos;
}

// Names the fault as our reader reports it, from nlohmann's own message.
std::string classify(std::string_view message) {
  if (contains(message, "; expected end of input")) return "trailing characters";
  if (contains(message, "missing closing quote")) return "EOF while parsing a string";
  bool at_end = contains(message, "unexpected end of input");
  if (contains(message, "control character")) {
    return "control character (\\u0000-\\u001F) found while parsing a string";
  }
  if (contains(message, "surrogate")) return "lone leading surrogate in hex escape";
  if (contains(message, "ill-formed UTF-8")) return "invalid unicode code point";
  if (contains(message, "after backslash") || contains(message, "\\u' must be followed")) {
    return "invalid escape";
  }
  if (contains(message, "number overflow")) return "number out of range";
  if (contains(message, "invalid number")) return "invalid number";
  if (contains(message, "invalid literal")) return "expected ident";
  if (at_end) {
    if (contains(message, "while parsing object")) return "EOF while parsing an object";
    if (contains(message, "while parsing array")) return "EOF while parsing a list";
    return "EOF while parsing a value";
  }
  if (contains(message, "while parsing object key")) return "key must be a string";
  if (contains(message, "while parsing object separator")) return "expected `:`";
  if (contains(message, "while parsing object")) return "expected `,` or `}`";
  if (contains(message, "while parsing array")) return "expected `,` or `]`";
  return "expected value";
}

KivoError syntax_error(std::string_view text, std::string_view what, std::size_t chars_read) {
  Position position = position_of(text, chars_read);
  return KivoError::json(
      fmt::format("{} at line {} column {}", what, position.line, position.column));
}

}  // namespace

Result<Value> parse(std::string_view text) {
  // A byte-order mark is not white space; refuse it as the start of a value.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") return fail(syntax_error(text, "expected value", 1));

  TreeBuilder builder;
  bool parsed = nlohmann::json::sax_parse(text.begin(), text.end(), &builder,
                                          nlohmann::json::input_format_t::json, true);
  if (parsed) return builder.take();
  if (builder.depth_exceeded()) {
    // The parser stops at the opening bracket that went too deep.
    std::size_t offset = 0;
    std::size_t depth = 0;
    bool in_string = false;
    for (; offset < text.size(); ++offset) {
      char c = text[offset];
      if (in_string) {
        if (c == '\\') {
          ++offset;
        } else if (c == '"') {
          in_string = false;
        }
      } else if (c == '"') {
        in_string = true;
      } else if (c == '[' || c == '{') {
        if (++depth > kMaxDepth) break;
      } else if (c == ']' || c == '}') {
        --depth;
      }
    }
    return fail(syntax_error(text, "recursion limit exceeded", offset + 1));
  }
  // The parser counts the end of the input as one more character read.
  std::size_t chars_read = builder.error_position().value_or(text.size());
  std::string what = classify(builder.error_text());
  return fail(syntax_error(text, what, chars_read));
}

}  // namespace kivo::json
