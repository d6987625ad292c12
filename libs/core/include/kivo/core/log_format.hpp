// The text line of one event in the log file:
//
//   2026-03-01T08:15:30.123456Z  INFO kivo_agent: agent runtime cleanup started route_id=7
//
// UTC time with microseconds, the level right-aligned in five columns, the
// target and a colon, the message, then " name=value" for each field and a
// line feed. Styled lines add ANSI SGR escapes: a dim time, a coloured level,
// a dim "target:", italic field names and a dim "=".
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "kivo/core/log.hpp"

namespace kivo::log {

using TimePoint = std::chrono::system_clock::time_point;
// Reads the wall clock; empty when it cannot be read.
using WallClock = std::function<std::optional<TimePoint>()>;

// CLOCK_REALTIME, or empty when clock_gettime fails.
std::optional<TimePoint> read_system_clock();

struct LineFormat {
  bool styled = false;
  WallClock clock = read_system_clock;

  // Styled unless NO_COLOR is set to a non-empty value; the system clock.
  static LineFormat from_environment();
};

// "2026-03-01T08:15:30.123456Z", or "<unknown time>" for an empty time.
void append_timestamp(std::string& out, std::optional<TimePoint> time);

// Appends the whole line of `event`, line feed included.
void append_line(std::string& out, bool styled, std::optional<TimePoint> time, const Event& event);

}  // namespace kivo::log
