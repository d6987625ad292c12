#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <thread>

#include "kivo/core/log.hpp"

namespace kivo::log {
namespace {

using ::testing::ElementsAre;

TEST(LogFieldTest, RendersEachKindOfValue) {
  const std::string owned = "owned text";
  struct Case {
    Field field;
    std::string_view expected;
  };
  const Case cases[] = {
      {field("n", 42), "42"},
      {field("n", -7), "-7"},
      {field("n", std::numeric_limits<std::uint64_t>::max()), "18446744073709551615"},
      {field("n", std::uint8_t{200}), "200"},
      {field("b", true), "true"},
      {field("b", false), "false"},
      {field("x", 1.5), "1.5"},
      {field("s", "plain \"text\""), "plain \"text\""},
      {field("s", owned), "owned text"},
      {field("s", std::string_view("view")), "view"},
      {field("e", KivoError::invalid_message("bad")), "invalid message: bad"},
      {field("p", std::filesystem::path("/tmp/a b")), "/tmp/a b"},
      {debug_field("s", "a\"b\\c"), R"("a\"b\\c")"},
      {debug_field("s", "line\nnext\r\ttab"), R"("line\nnext\r\ttab")"},
      {debug_field("s", std::string_view("nul\0here", 8)), R"("nul\0here")"},
      {debug_field("s", "\x1b[31mred"), R"("\u{1b}[31mred")"},
      {debug_field("s", "caf\xc3\xa9 'q'"), "\"caf\xc3\xa9 'q'\""},
      {debug_field("s", owned), "\"owned text\""},
      {debug_field("p", std::filesystem::path("/a\"b")), R"("/a\"b")"},
      {debug_field("e", KivoError::not_connected()), "\"not connected\""},
      {debug_field("n", 5), "5"},
      {debug_field("b", true), "true"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.field.value(), c.expected) << "field " << c.field.name();
  }
}

TEST(LogFacadeTest, NothingIsEnabledWithoutHandlerOrCapture) {
  EXPECT_FALSE(enabled(Level::kError, "kivo_agent"));
  int evaluated = 0;
  KIVO_ERROR("kivo_agent", "never formatted", field("n", ++evaluated));
  EXPECT_EQ(evaluated, 0);
}

TEST(LogFacadeTest, CaptureRecordsEveryLevelWithRenderedFields) {
  ScopedCapture capture;
  EXPECT_TRUE(enabled(Level::kTrace, "anything"));
  KIVO_TRACE("kivo_input", "trace event");
  KIVO_WARN("kivo_quit", "failed to resolve user paths after resume hello",
            field("error", KivoError::not_connected()), debug_field("path", "/a b"),
            field("route_id", 7));
  write(Level::kError, "other", "direct call");

  const auto events = capture.events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].level, Level::kTrace);
  EXPECT_EQ(events[0].target, "kivo_input");
  EXPECT_TRUE(events[0].fields.empty());
  EXPECT_EQ(events[1].level, Level::kWarn);
  EXPECT_EQ(events[1].message, "failed to resolve user paths after resume hello");
  EXPECT_THAT(events[1].fields, ElementsAre("error=not connected", "path=\"/a b\"", "route_id=7"));
  EXPECT_EQ(events[1].field("route_id"), "7");
  EXPECT_EQ(events[1].field("route"), std::nullopt);
  EXPECT_EQ(events[2].target, "other");

  capture.clear();
  EXPECT_TRUE(capture.events().empty());
}

TEST(LogFacadeTest, NestedCapturesBothReceiveEventsOfOtherThreads) {
  ScopedCapture outer;
  {
    ScopedCapture inner;
    std::thread([] { KIVO_INFO("kivo_file", "from a worker", field("task_id", "t1")); }).join();
    ASSERT_EQ(inner.events().size(), 1u);
    EXPECT_EQ(inner.events()[0].field("task_id"), "t1");
  }
  KIVO_INFO("kivo_file", "after the inner capture ended");
  EXPECT_EQ(outer.events().size(), 2u);
}

TEST(LogFacadeTest, EndedCaptureStopsEnablingEvents) {
  { ScopedCapture capture; }
  int evaluated = 0;
  KIVO_INFO("kivo_agent", "dropped", field("n", ++evaluated));
  EXPECT_EQ(evaluated, 0);
}

}  // namespace
}  // namespace kivo::log
