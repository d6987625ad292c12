#include "kivo/capture/capture_target.hpp"

#include <gtest/gtest.h>

#include "kivo/capture/stream_configuration.hpp"

namespace kivo::capture {
namespace {

DisplayDescriptor display(std::uint32_t id, double x = 0) {
  return {.id = id, .frame = {{x, 0}, {1920, 1080}}, .width = 1920, .height = 1080};
}

ShareableContent two_displays() {
  ShareableContent content;
  content.displays = {display(11), display(12, 1920)};
  WindowDescriptor window;
  window.id = 0x1a2b;
  window.frame = {{10, 20}, {641.5, 481}};
  window.title = "Editor";
  content.windows = {window};
  return content;
}

TEST(ChooseDisplayTest, PicksByIdMainOrFirst) {
  struct Case {
    const char* name;
    std::optional<std::uint32_t> display_id;
    std::optional<std::uint32_t> main_id;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {"configured id wins over main", 12, 11, 12},
      {"main display without configured id", std::nullopt, 12, 12},
      {"main display not listed: first", std::nullopt, 99, 11},
      {"main display unknown: first", std::nullopt, std::nullopt, 11},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto chosen = choose_display(two_displays(), c.display_id, c.main_id);
    ASSERT_TRUE(chosen) << chosen.error().display();
    EXPECT_EQ(chosen->id, c.expected);
  }
}

TEST(ChooseDisplayTest, ReportsWhatIsMissing) {
  auto missing = choose_display(two_displays(), 7, 11);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), KivoError::invalid_message("display id 7 not found"));

  auto none = choose_display(ShareableContent{}, std::nullopt, 11);
  ASSERT_FALSE(none);
  EXPECT_EQ(none.error(), KivoError::invalid_message("screencapturekit returned no displays"));
}

TEST(FindWindowTest, NamesAMissingWindowInHexadecimal) {
  ASSERT_TRUE(find_window(two_displays(), 0x1a2b));
  auto missing = find_window(two_displays(), 0xbeef);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), KivoError::invalid_message("window id beef not found"));
}

TEST(WholeWindowPlanTest, RoundsDownToEvenAndRejectsEmptyWindows) {
  auto plan = whole_window_plan(two_displays().windows[0], display(11));
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->width, 640u);
  EXPECT_EQ(plan->height, 480u);

  WindowDescriptor empty;
  empty.frame = {{0, 0}, {0, 100}};
  auto refused = whole_window_plan(empty, display(11));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), KivoError::invalid_message("window capture source rect is invalid"));
}

TEST(StreamConfigurationTest, CarriesTheCaptureSettings) {
  protocol::CaptureConfig config;
  config.width = 1280;
  config.height = 720;
  config.fps = 30;
  config.bitrate_kbps = 1;
  const StreamConfiguration display_config = make_stream_configuration(config, true, std::nullopt);
  EXPECT_EQ(display_config.width, 1280u);
  EXPECT_EQ(display_config.height, 720u);
  EXPECT_EQ(display_config.minimum_frame_interval, std::chrono::nanoseconds(33'333'333));
  EXPECT_FALSE(display_config.source_rect);
  EXPECT_FALSE(display_config.shows_cursor);
  EXPECT_EQ(display_config.queue_depth, 4u);
  EXPECT_TRUE(display_config.captures_audio);
  EXPECT_EQ(display_config.sample_rate, 48'000u);
  EXPECT_EQ(display_config.channel_count, 1u);

  const WindowStreamPlan plan{.source_rect = {{10, 10}, {300, 200}}, .width = 600, .height = 400};
  const StreamConfiguration window_config = make_stream_configuration(config, false, plan);
  EXPECT_EQ(window_config.width, 600u);
  EXPECT_EQ(window_config.height, 400u);
  EXPECT_EQ(window_config.source_rect, plan.source_rect);
  EXPECT_FALSE(window_config.captures_audio);
}

}  // namespace
}  // namespace kivo::capture
