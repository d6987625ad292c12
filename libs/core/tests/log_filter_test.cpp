#include "kivo/core/log_filter.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "log_test_support.hpp"

namespace kivo::log {
namespace {

struct FilterCase {
  std::string text;
  std::string target;
  Level level;
  bool written;
};

TEST(LogFilterTest, DirectivesDecideByLongestMatchingPrefix) {
  const FilterCase cases[] = {
      {"kivo=info", "kivo_agent", Level::kInfo, true},
      {"kivo=info", "kivo_agent", Level::kError, true},
      {"kivo=info", "kivo_agent", Level::kDebug, false},
      {"kivo=info", "kivo", Level::kInfo, true},
      {"kivo=info", "other", Level::kError, false},
      {"kivo=info", "kiv", Level::kError, false},
      {"kivo=info,kivo_file=debug", "kivo_file", Level::kDebug, true},
      {"kivo=info,kivo_file=debug", "kivo_file_clipboard", Level::kDebug, true},
      {"kivo=info,kivo_file=debug", "kivo_agent", Level::kDebug, false},
      {"kivo_file=debug,kivo=info", "kivo_file", Level::kDebug, true},
      {"kivo=debug,kivo_input_diag=warn", "kivo_input_diag", Level::kInfo, false},
      {"kivo=debug,kivo_input_diag=warn", "kivo_input", Level::kDebug, true},
      {"debug", "anything", Level::kDebug, true},
      {"debug", "anything", Level::kTrace, false},
      {"warn,kivo=trace", "other", Level::kWarn, true},
      {"warn,kivo=trace", "other", Level::kInfo, false},
      {"warn,kivo=trace", "kivo_capture", Level::kTrace, true},
      {"trace,kivo_audio=off", "kivo_audio", Level::kError, false},
      {"trace,kivo_audio=off", "kivo_agent", Level::kTrace, true},
      {" kivo = WARN ", "kivo_agent", Level::kWarn, true},
      {"Kivo=Error", "Kivo_x", Level::kError, true},
      {"kivo=info,", "kivo_agent", Level::kInfo, true},
      {"kivo=error,kivo=debug", "kivo_agent", Level::kDebug, true},
  };
  for (const FilterCase& c : cases) {
    const auto filter = LogFilter::parse(c.text);
    ASSERT_TRUE(filter.has_value()) << c.text;
    EXPECT_EQ(filter->enabled(c.level, c.target), c.written)
        << c.text << " / " << c.target << " / " << level_name(c.level);
  }
}

TEST(LogFilterTest, MalformedFiltersAreRejectedWhole) {
  for (const char* text : {"", " , ", "kivo=", "=info", "kivo=loud", "verbose", "kivo", "a=b=c",
                           "kivo file=info", "kivo=info,bogus"}) {
    EXPECT_FALSE(LogFilter::parse(text).has_value()) << '"' << text << '"';
  }
}

TEST(LogFilterTest, EnvironmentOverridesTheDefaultOnlyWhenValid) {
  struct Case {
    std::optional<std::string> value;
    bool kivo_debug_written;
    bool other_info_written;
    bool input_diag_info_written;
  };
  const Case cases[] = {
      {std::nullopt, false, false, false},  // the default
      {"kivo=loud", false, false, false},   // invalid: the default
      {"", false, false, false},            // empty: the default
      {"debug", true, true, true},         {"kivo=debug", true, false, true},
      {"kivo=info", false, false, true},
  };
  for (const Case& c : cases) {
    testing::ScopedEnv env(kFilterVariable, c.value);
    const LogFilter filter = LogFilter::from_environment();
    EXPECT_TRUE(filter.enabled(Level::kInfo, "kivo_agent")) << c.value.value_or("<unset>");
    EXPECT_EQ(filter.enabled(Level::kDebug, "kivo_agent"), c.kivo_debug_written)
        << c.value.value_or("<unset>");
    EXPECT_EQ(filter.enabled(Level::kInfo, "other"), c.other_info_written)
        << c.value.value_or("<unset>");
    EXPECT_EQ(filter.enabled(Level::kInfo, "kivo_input_diag"), c.input_diag_info_written)
        << c.value.value_or("<unset>");
    EXPECT_TRUE(filter.enabled(Level::kWarn, "kivo_input_diag")) << c.value.value_or("<unset>");
  }
}

}  // namespace
}  // namespace kivo::log
