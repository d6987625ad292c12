#include "kivo/core/log_format.hpp"

#include <time.h>

#include <cstdlib>

namespace kivo::log {
namespace {

constexpr std::string_view kReset = "\x1b[0m";
constexpr std::string_view kDim = "\x1b[2m";
constexpr std::string_view kItalic = "\x1b[3m";

std::string_view level_colour(Level level) {
  switch (level) {
    case Level::kTrace:
      return "\x1b[35m";
    case Level::kDebug:
      return "\x1b[34m";
    case Level::kInfo:
      return "\x1b[32m";
    case Level::kWarn:
      return "\x1b[33m";
    case Level::kError:
      return "\x1b[31m";
  }
  return "";
}

// The time stamp is written on every log call: plain digit arithmetic, no
// locale, no allocation beyond the line's own.
void append_digits(std::string& out, long long value, int width) {
  char digits[24];
  int count = 0;
  const bool negative = value < 0;
  unsigned long long magnitude = negative ? 0ULL - static_cast<unsigned long long>(value)
                                          : static_cast<unsigned long long>(value);
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0 && count < 20);
  if (negative) out += '-';
  for (int pad = count; pad < width; ++pad) out += '0';
  while (count > 0) out += digits[--count];
}

}  // namespace

std::optional<TimePoint> read_system_clock() {
  timespec now{};
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) return std::nullopt;
  return TimePoint(std::chrono::duration_cast<TimePoint::duration>(
      std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec)));
}

LineFormat LineFormat::from_environment() {
  const char* no_color = std::getenv("NO_COLOR");
  return LineFormat{.styled = no_color == nullptr || *no_color == '\0', .clock = read_system_clock};
}

void append_timestamp(std::string& out, std::optional<TimePoint> time) {
  using namespace std::chrono;
  if (!time) {
    out += "<unknown time>";
    return;
  }
  const auto micros = floor<microseconds>(*time);
  const auto day = floor<days>(micros);
  const year_month_day date{day};
  const hh_mm_ss clock{micros - day};
  append_digits(out, static_cast<int>(date.year()), 4);
  out += '-';
  append_digits(out, static_cast<unsigned>(date.month()), 2);
  out += '-';
  append_digits(out, static_cast<unsigned>(date.day()), 2);
  out += 'T';
  append_digits(out, clock.hours().count(), 2);
  out += ':';
  append_digits(out, clock.minutes().count(), 2);
  out += ':';
  append_digits(out, clock.seconds().count(), 2);
  out += '.';
  append_digits(out, clock.subseconds().count(), 6);
  out += 'Z';
}

void append_line(std::string& out, bool styled, std::optional<TimePoint> time, const Event& event) {
  if (styled) out += kDim;
  append_timestamp(out, time);
  if (styled) out += kReset;
  out += ' ';

  if (styled) out += level_colour(event.level);
  const std::string_view level = level_name(event.level);
  out.append(5 - level.size(), ' ');
  out += level;
  if (styled) out += kReset;
  out += ' ';

  if (styled) out += kDim;
  out += event.target;
  out += ':';
  if (styled) out += kReset;
  out += ' ';

  out += event.message;
  for (const Field& field : event.fields) {
    out += ' ';
    if (styled) {
      out += kItalic;
      out += field.name();
      out += kReset;
      out += kDim;
      out += '=';
      out += kReset;
    } else {
      out += field.name();
      out += '=';
    }
    out += field.value();
  }
  out += '\n';
}

}  // namespace kivo::log
