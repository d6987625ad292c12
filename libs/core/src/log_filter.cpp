#include "kivo/core/log_filter.hpp"

#include <algorithm>
#include <cstdlib>

namespace kivo::log {
namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    const auto lower = [](char c) {
      return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    };
    return lower(x) == lower(y);
  });
}

struct ParsedLevel {
  bool valid = false;
  bool off = false;
  Level lowest = Level::kTrace;
};

ParsedLevel parse_level(std::string_view text) {
  static constexpr std::pair<std::string_view, Level> kLevels[] = {
      {"trace", Level::kTrace}, {"debug", Level::kDebug}, {"info", Level::kInfo},
      {"warn", Level::kWarn},   {"error", Level::kError},
  };
  for (const auto& [name, level] : kLevels) {
    if (equals_ignoring_case(text, name)) return ParsedLevel{true, false, level};
  }
  if (equals_ignoring_case(text, "off")) return ParsedLevel{true, true, Level::kTrace};
  return ParsedLevel{};
}

bool valid_target(std::string_view target) {
  return !target.empty() && std::none_of(target.begin(), target.end(), [](char c) {
    return is_blank(c) || c == '=' || static_cast<unsigned char>(c) < 0x20;
  });
}

}  // namespace

std::optional<LogFilter> LogFilter::parse(std::string_view text) {
  LogFilter filter;
  while (true) {
    const std::size_t comma = text.find(',');
    const std::string_view piece = trim(text.substr(0, comma));
    if (!piece.empty()) {
      std::string_view target;
      std::string_view level_text = piece;
      if (const std::size_t equals = piece.find('='); equals != std::string_view::npos) {
        target = trim(piece.substr(0, equals));
        level_text = trim(piece.substr(equals + 1));
        if (!valid_target(target)) return std::nullopt;
      }
      const ParsedLevel level = parse_level(level_text);
      if (!level.valid) return std::nullopt;
      // A later directive for the same prefix replaces the earlier one.
      std::erase_if(filter.directives_, [&](const Directive& d) { return d.prefix == target; });
      filter.directives_.push_back(Directive{std::string(target), !level.off, level.lowest});
    }
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  if (filter.directives_.empty()) return std::nullopt;
  std::stable_sort(
      filter.directives_.begin(), filter.directives_.end(),
      [](const Directive& a, const Directive& b) { return a.prefix.size() > b.prefix.size(); });
  return filter;
}

LogFilter LogFilter::default_filter() {
  return *parse(kDefaultFilter);
}

LogFilter LogFilter::from_environment() {
  if (const char* value = std::getenv(kFilterVariable); value != nullptr) {
    if (auto parsed = parse(value)) return *std::move(parsed);
  }
  return default_filter();
}

bool LogFilter::enabled(Level level, std::string_view target) const {
  for (const Directive& directive : directives_) {
    if (target.starts_with(directive.prefix)) {
      return directive.on && level >= directive.lowest;
    }
  }
  return false;
}

}  // namespace kivo::log
