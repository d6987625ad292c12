#include "kivo/core/log_format.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

namespace kivo::log {
namespace {

using namespace std::chrono;

TimePoint at(sys_days day, hours h, minutes m, seconds s, nanoseconds fraction) {
  return TimePoint(
      duration_cast<TimePoint::duration>(day.time_since_epoch() + h + m + s + fraction));
}

TEST(LogTimestampTest, UtcWithMicroseconds) {
  struct Case {
    std::optional<TimePoint> time;
    std::string expected;
  };
  const Case cases[] = {
      {TimePoint{}, "1970-01-01T00:00:00.000000Z"},
      {at(2026y / 3 / 1, 8h, 15min, 30s, 123456us), "2026-03-01T08:15:30.123456Z"},
      {at(2026y / 3 / 1, 8h, 15min, 30s, 123456789ns), "2026-03-01T08:15:30.123456Z"},
      {at(2024y / 2 / 29, 23h, 59min, 59s, 999999us), "2024-02-29T23:59:59.999999Z"},
      {at(2000y / 1 / 9, 1h, 2min, 3s, 7us), "2000-01-09T01:02:03.000007Z"},
      {std::nullopt, "<unknown time>"},
  };
  for (const Case& c : cases) {
    std::string out;
    append_timestamp(out, c.time);
    EXPECT_EQ(out, c.expected);
  }
}

TEST(LogLineTest, LayoutToTheByte) {
  const TimePoint time = at(2026y / 3 / 1, 8h, 15min, 30s, 123456us);
  const Field two_fields[] = {field("route_id", 7), debug_field("path", "/a \"b\"")};
  struct Case {
    bool styled;
    Level level;
    std::span<const Field> fields;
    std::string expected;
  };
  const Case cases[] = {
      {false,
       Level::kInfo,
       {},
       "2026-03-01T08:15:30.123456Z  INFO kivo_agent: agent runtime cleanup started\n"},
      {false,
       Level::kTrace,
       {},
       "2026-03-01T08:15:30.123456Z TRACE kivo_agent: agent runtime cleanup started\n"},
      {false,
       Level::kDebug,
       {},
       "2026-03-01T08:15:30.123456Z DEBUG kivo_agent: agent runtime cleanup started\n"},
      {false,
       Level::kWarn,
       {},
       "2026-03-01T08:15:30.123456Z  WARN kivo_agent: agent runtime cleanup started\n"},
      {false, Level::kError, two_fields,
       "2026-03-01T08:15:30.123456Z ERROR kivo_agent: agent runtime cleanup started route_id=7 "
       "path=\"/a \\\"b\\\"\"\n"},
      {true,
       Level::kInfo,
       {},
       "\x1b[2m2026-03-01T08:15:30.123456Z\x1b[0m \x1b[32m INFO\x1b[0m \x1b[2mkivo_agent:\x1b[0m "
       "agent runtime cleanup started\n"},
      {true, Level::kWarn, two_fields,
       "\x1b[2m2026-03-01T08:15:30.123456Z\x1b[0m \x1b[33m WARN\x1b[0m \x1b[2mkivo_agent:\x1b[0m "
       "agent runtime cleanup started \x1b[3mroute_id\x1b[0m\x1b[2m=\x1b[0m7 "
       "\x1b[3mpath\x1b[0m\x1b[2m=\x1b[0m\"/a \\\"b\\\"\"\n"},
      {true,
       Level::kTrace,
       {},
       "\x1b[2m2026-03-01T08:15:30.123456Z\x1b[0m \x1b[35mTRACE\x1b[0m \x1b[2mkivo_agent:\x1b[0m "
       "agent runtime cleanup started\n"},
      {true,
       Level::kDebug,
       {},
       "\x1b[2m2026-03-01T08:15:30.123456Z\x1b[0m \x1b[34mDEBUG\x1b[0m \x1b[2mkivo_agent:\x1b[0m "
       "agent runtime cleanup started\n"},
      {true,
       Level::kError,
       {},
       "\x1b[2m2026-03-01T08:15:30.123456Z\x1b[0m \x1b[31mERROR\x1b[0m \x1b[2mkivo_agent:\x1b[0m "
       "agent runtime cleanup started\n"},
  };
  for (const Case& c : cases) {
    std::string out;
    append_line(out, c.styled, time,
                Event{c.level, "kivo_agent", "agent runtime cleanup started", c.fields});
    EXPECT_EQ(out, c.expected);
  }
}

TEST(LogLineTest, UnreadableClockStandsInForTheTime) {
  std::string out;
  append_line(out, false, std::nullopt, Event{Level::kWarn, "kivo_xpc", "send failed", {}});
  EXPECT_EQ(out, "<unknown time>  WARN kivo_xpc: send failed\n");
}

}  // namespace
}  // namespace kivo::log
