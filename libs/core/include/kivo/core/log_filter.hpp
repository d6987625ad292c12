// Which events are written: a list of directives, each a target prefix and
// the lowest level written for targets that begin with it.
//
//   KIVO_LOG="kivo=info,kivo_file=debug"   INFO and up for kivo*, DEBUG and up
//                                          for kivo_file*, nothing else
//   KIVO_LOG="warn,kivo=trace"             WARN and up anywhere, all of kivo*
//
// The longest matching prefix decides; a bare level applies to every target;
// "off" writes nothing for its prefix; level names ignore case. A target that
// no directive matches writes nothing. A value that does not parse as a whole
// is ignored in favour of the default: INFO and up for kivo*, except the input
// worker's two records per posted event (kivo_input_diag), which would fill
// the log within seconds of pointer motion; KIVO_LOG brings them back.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kivo/core/log.hpp"

namespace kivo::log {

inline constexpr const char* kFilterVariable = "KIVO_LOG";
inline constexpr std::string_view kDefaultFilter = "kivo=info,kivo_input_diag=warn";

class LogFilter {
 public:
  // Empty when any directive is malformed or there is none.
  static std::optional<LogFilter> parse(std::string_view text);
  // kDefaultFilter.
  static LogFilter default_filter();
  // KIVO_LOG when it is set and parses, otherwise the default.
  static LogFilter from_environment();

  bool enabled(Level level, std::string_view target) const;

 private:
  struct Directive {
    std::string prefix;
    bool on;  // false: "off"
    Level lowest;
  };

  // Longest prefix first, so the first match is the one that decides.
  std::vector<Directive> directives_;
};

}  // namespace kivo::log
