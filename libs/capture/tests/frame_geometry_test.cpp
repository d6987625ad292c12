#include "kivo/capture/frame_geometry.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "kivo/core/log.hpp"

namespace kivo::capture {
namespace {

using protocol::CaptureConfig;
using protocol::CaptureGeometry;
using protocol::Rect;
using protocol::Size;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Rect rect(double x, double y, double width, double height) {
  return Rect{{x, y}, {width, height}};
}

FrameMetadata frame(std::uint64_t width, std::uint64_t height,
                    std::optional<Rect> content = std::nullopt,
                    std::optional<Rect> screen = std::nullopt) {
  return FrameMetadata{width, height, content, screen};
}

// One capture run: a 1440 x 900 point display (id 7) captured at 2880 x 1800.
class FrameGeometryTest : public ::testing::Test {
 protected:
  std::optional<CaptureGeometry> process(const FrameMetadata& metadata) {
    tracker_.process_frame(metadata, target_, config_, generation_, cell_);
    return cell_.get();
  }

  // The epoch of a frame that must publish a geometry.
  std::uint64_t epoch_of(const FrameMetadata& metadata) {
    const std::optional<CaptureGeometry> geometry = process(metadata);
    EXPECT_TRUE(geometry.has_value());
    return geometry ? geometry->epoch : 0;
  }

  void capture_window(const Rect& source, const Rect& capture_bounds) {
    target_.window = WindowCalibration{source, capture_bounds};
    config_.window_id = 42;
  }

  FrameGeometryTracker tracker_;
  GeometryCell cell_;
  GeometryTarget target_{7, rect(0, 0, 1440, 900), std::nullopt};
  CaptureConfig config_{.width = 2880,
                        .height = 1800,
                        .fps = 30,
                        .bitrate_kbps = 8000,
                        .display_id = std::nullopt,
                        .window_id = std::nullopt};
  std::uint64_t generation_ = 0;
};

TEST_F(FrameGeometryTest, PublishesTheFrameAsItIs) {
  const auto geometry = process(frame(2880, 1800, rect(0, 0, 2880, 1800), rect(0, 0, 1440, 900)));
  ASSERT_TRUE(geometry);
  EXPECT_EQ(*geometry, (CaptureGeometry{.reconfigure_generation = 0,
                                        .epoch = 1,
                                        .display_id = 7,
                                        .display_bounds_points = rect(0, 0, 1440, 900),
                                        .surface_size_px = {2880, 1800},
                                        .content_rect_px = rect(0, 0, 2880, 1800)}));
  EXPECT_EQ(cell_.epoch_counter(), 1U);
}

TEST_F(FrameGeometryTest, SurfaceSizeComesFromTheFrameOrTheConfiguration) {
  struct Case {
    const char* name;
    bool window;
    std::uint64_t frame_width, frame_height;
    std::uint32_t config_width, config_height;
    std::optional<Size> expected;  // none: the geometry is emptied
  };
  const Case cases[] = {
      {"frame size", false, 1920, 1080, 2880, 1800, Size{1920, 1080}},
      {"frame size, odd, display", false, 1919, 1081, 2880, 1800, Size{1919, 1081}},
      {"no frame size", false, 0, 0, 1280, 720, Size{1280, 720}},
      {"half a frame size", false, 1920, 0, 1280, 720, Size{1280, 720}},
      {"window: even, at least 2", true, 1, 1919, 0, 0, Size{2, 1918}},
      {"window: configured size made even", true, 0, 0, 1001, 3, Size{1000, 2}},
      {"nothing known", false, 0, 0, 0, 0, std::nullopt},
      {"window, nothing known", true, 0, 0, 0, 0, std::nullopt},
  };
  for (const Case& c : cases) {
    FrameGeometryTracker tracker;
    GeometryCell cell;
    GeometryTarget target = target_;
    if (c.window) target.window = WindowCalibration{rect(0, 0, 800, 600), rect(10, 10, 800, 600)};
    CaptureConfig config = config_;
    config.width = c.config_width;
    config.height = c.config_height;
    tracker.process_frame(frame(c.frame_width, c.frame_height), target, config, 0, cell);
    const std::optional<CaptureGeometry> geometry = cell.get();
    ASSERT_EQ(geometry.has_value(), c.expected.has_value()) << c.name;
    if (geometry) {
      EXPECT_EQ(geometry->surface_size_px, *c.expected) << c.name;
    }
  }
}

TEST_F(FrameGeometryTest, MissingPixelSizeIsLogged) {
  log::ScopedCapture capture;
  config_.width = 1280;
  config_.height = 720;
  process(frame(0, 0));
  const std::vector<log::CapturedEvent> events = capture.events();
  ASSERT_FALSE(events.empty());
  const log::CapturedEvent& event = events.front();
  EXPECT_EQ(event.level, log::Level::kDebug);
  EXPECT_EQ(event.message, "SCK pixel buffer size unavailable; using configured surface size");
  EXPECT_EQ(event.field("frame_width_px"), "0");
  EXPECT_EQ(event.field("config_width"), "1280");
}

TEST_F(FrameGeometryTest, ScreenRectFallsBackToRememberedThenToTheDisplay) {
  target_.display_bounds_points = rect(0, 0, 1440, 900);
  // No attachment yet: the display's own bounds.
  EXPECT_EQ(process(frame(2880, 1800))->display_bounds_points, rect(0, 0, 1440, 900));
  // One frame provides it; it is remembered while it is missing or unusable.
  EXPECT_EQ(process(frame(2880, 1800, std::nullopt, rect(5, 6, 1440, 900)))->display_bounds_points,
            rect(5, 6, 1440, 900));
  EXPECT_EQ(process(frame(2880, 1800))->display_bounds_points, rect(5, 6, 1440, 900));
  EXPECT_EQ(process(frame(2880, 1800, std::nullopt, rect(1, 1, 0, 900)))->display_bounds_points,
            rect(5, 6, 1440, 900));
  EXPECT_EQ(process(frame(2880, 1800, std::nullopt, rect(kNaN, 1, 10, 10)))->display_bounds_points,
            rect(5, 6, 1440, 900));
  // A new target (here, a new surface size) forgets it.
  EXPECT_EQ(process(frame(1920, 1080))->display_bounds_points, rect(0, 0, 1440, 900));
  // So does a reconfiguration.
  process(frame(1920, 1080, std::nullopt, rect(5, 6, 1440, 900)));
  tracker_.forget_target();
  EXPECT_EQ(process(frame(1920, 1080))->display_bounds_points, rect(0, 0, 1440, 900));
}

TEST_F(FrameGeometryTest, UnusableTargetEmptiesTheGeometry) {
  struct Case {
    const char* name;
    Rect bounds;
  };
  const Case cases[] = {
      {"zero width", rect(0, 0, 0, 900)},
      {"negative height", rect(0, 0, 1440, -1)},
      {"NaN origin", rect(kNaN, 0, 1440, 900)},
      {"beyond 64 bits", rect(1e19, 0, 1440, 900)},
      {"exactly 2^63", rect(9223372036854775808.0, 0, 1440, 900)},
  };
  for (const Case& c : cases) {
    FrameGeometryTracker tracker;
    GeometryCell cell;
    tracker.process_frame(frame(2880, 1800), GeometryTarget{7, rect(0, 0, 1440, 900), {}}, config_,
                          0, cell);
    ASSERT_TRUE(cell.get()) << c.name;
    tracker.process_frame(frame(2880, 1800), GeometryTarget{7, c.bounds, {}}, config_, 0, cell);
    EXPECT_FALSE(cell.get()) << c.name;
  }
  // -2^63 is still a 64-bit integer; the frame's own rectangle is used.
  process(frame(2880, 1800, std::nullopt, rect(0, 0, 1440, 900)));
  target_.display_bounds_points = rect(-9223372036854775808.0, 0, 1440, 900);
  EXPECT_TRUE(process(frame(2880, 1800, std::nullopt, rect(0, 0, 1440, 900))));
}

TEST_F(FrameGeometryTest, ContentRectFallsBackToRememberedOrToAnAspectFit) {
  struct Case {
    const char* name;
    std::uint64_t width, height;
    std::optional<Rect> first;   // the first frame's content rectangle
    std::optional<Rect> second;  // the second frame's
    Rect expected;               // what the second frame publishes
  };
  const Case cases[] = {
      {"fits", 2880, 1800, std::nullopt, rect(10, 20, 2000, 1000), rect(10, 20, 2000, 1000)},
      {"fits exactly", 2880, 1800, std::nullopt, rect(0, 0, 2880, 1800), rect(0, 0, 2880, 1800)},
      {"past the edge, same aspect", 2880, 1800, rect(10, 20, 2000, 1000), rect(1, 0, 2880, 1800),
       rect(0, 0, 2880, 1800)},
      {"past the edge, wider surface", 1920, 1080, std::nullopt, rect(0, 0, 1920, 1081),
       rect(96, 0, 1728, 1080)},
      {"negative origin", 1920, 1080, std::nullopt, rect(-1, 0, 100, 100), rect(96, 0, 1728, 1080)},
      {"zero height", 1920, 1080, std::nullopt, rect(0, 0, 100, 0), rect(96, 0, 1728, 1080)},
      {"missing, remembered", 2880, 1800, rect(10, 20, 2000, 1000), std::nullopt,
       rect(10, 20, 2000, 1000)},
      {"missing, nothing remembered", 1920, 1080, std::nullopt, std::nullopt,
       rect(96, 0, 1728, 1080)},
      {"missing, the bad one not remembered", 1920, 1080, rect(0, 0, 5000, 5000), std::nullopt,
       rect(96, 0, 1728, 1080)},
  };
  for (const Case& c : cases) {
    FrameGeometryTracker tracker;
    GeometryCell cell;
    tracker.process_frame(frame(c.width, c.height, c.first), target_, config_, 0, cell);
    tracker.process_frame(frame(c.width, c.height, c.second), target_, config_, 0, cell);
    ASSERT_TRUE(cell.get()) << c.name;
    EXPECT_EQ(cell.get()->content_rect_px, c.expected) << c.name;
  }
}

TEST_F(FrameGeometryTest, WindowContentFallsBackToTheWholeSurface) {
  capture_window(rect(0, 28, 800, 600), rect(200, 128, 800, 600));
  EXPECT_EQ(process(frame(1600, 1200))->content_rect_px, rect(0, 0, 1600, 1200));
  EXPECT_EQ(process(frame(1600, 1200, rect(0, 0, 1601, 1200)))->content_rect_px,
            rect(0, 0, 1600, 1200));
}

TEST_F(FrameGeometryTest, WindowScreenRectIsCheckedAgainstTheCalibration) {
  // The window's content starts 28 points below its top edge; the captured
  // area is the content, at (200, 128) on the screen.
  const Rect source = rect(0, 28, 800, 600);
  const Rect bounds = rect(200, 128, 800, 600);
  struct Case {
    const char* name;
    Rect source;
    Rect bounds;
    Rect screen;    // the frame's screen rectangle
    Rect expected;  // the published display bounds (bounds when refused)
  };
  const Case cases[] = {
      {"the captured area", source, bounds, rect(210, 140, 800, 600), rect(210, 140, 800, 600)},
      {"the captured area within a point", source, bounds, rect(210, 140, 801, 599),
       rect(210, 140, 801, 599)},
      {"relative coordinates passed off as global", source, bounds, rect(0, 28, 800, 600), bounds},
      {"at the source origin, which is where it lies", source, rect(0.5, 28.5, 800, 600),
       rect(0, 28, 800, 600), rect(0, 28, 800, 600)},
      {"the whole window", source, bounds, rect(200, 100, 800, 628), rect(200, 128, 800, 600)},
      {"the whole window with a margin", rect(4, 28, 800, 600), bounds, rect(196, 100, 808, 632),
       rect(200, 128, 800, 600)},
      {"the whole window, in relative coordinates", source, bounds, rect(0, 0, 800, 628), bounds},
      {"source with a negative origin", rect(-4, 28, 800, 600), bounds, rect(200, 100, 808, 628),
       bounds},
      {"window far wider than the source", source, bounds, rect(200, 100, 900, 628), bounds},
      {"window narrower than the source", source, bounds, rect(200, 100, 790, 628), bounds},
      {"window far taller than the source", source, bounds, rect(200, 100, 800, 700), bounds},
      {"unusable screen rectangle", source, bounds, rect(200, 100, 800, 0), bounds},
      {"unusable source", rect(0, 28, 0, 600), bounds, rect(210, 140, 800, 600), bounds},
  };
  for (const Case& c : cases) {
    FrameGeometryTracker tracker;
    GeometryCell cell;
    const GeometryTarget target{7, rect(0, 0, 1440, 900), WindowCalibration{c.source, c.bounds}};
    tracker.process_frame(frame(1600, 1200, std::nullopt, c.screen), target, config_, 0, cell);
    ASSERT_TRUE(cell.get()) << c.name;
    EXPECT_EQ(cell.get()->display_bounds_points, c.expected) << c.name;
  }
}

TEST_F(FrameGeometryTest, EpochMovesOnlyOnChangesOfHalfAUnit) {
  const Rect screen = rect(0, 0, 1440, 900);
  const std::uint64_t first = epoch_of(frame(2880, 1800, rect(10, 10, 2000, 1000), screen));

  // 0.3 pixel: the exact rectangle, the same epoch.
  const auto jitter = process(frame(2880, 1800, rect(10.3, 10, 2000, 1000), screen));
  ASSERT_TRUE(jitter);
  EXPECT_EQ(jitter->content_rect_px, rect(10.3, 10, 2000, 1000));
  EXPECT_EQ(jitter->epoch, first);

  // Drifting by 0.3 twice is a move of 0.6 from what the epoch stands for.
  EXPECT_EQ(epoch_of(frame(2880, 1800, rect(10.6, 10, 2000, 1000), screen)), first + 1);

  struct Case {
    const char* name;
    FrameMetadata frame;
    bool moves;
  };
  const Case cases[] = {
      {"content moved by a half", frame(2880, 1800, rect(10.6, 10.5, 2000, 1000), screen), true},
      {"content size moved by less", frame(2880, 1800, rect(10.6, 10.5, 2000.4, 999.6), screen),
       false},
      {"bounds origin moved",
       frame(2880, 1800, rect(10.6, 10.5, 2000, 1000), rect(50, 50, 1440, 900)), false},
      {"bounds size moved by less",
       frame(2880, 1800, rect(10.6, 10.5, 2000, 1000), rect(0, 0, 1440.49, 900)), false},
      {"bounds size moved by a half",
       frame(2880, 1800, rect(10.6, 10.5, 2000, 1000), rect(0, 0, 1440.5, 900)), true},
  };
  std::uint64_t epoch = first + 1;
  for (const Case& c : cases) {
    const std::uint64_t next = epoch_of(c.frame);
    EXPECT_EQ(next, c.moves ? epoch + 1 : epoch) << c.name;
    epoch = next;
  }
}

TEST_F(FrameGeometryTest, EpochMovesWithTheDisplayOrTheWindow) {
  const FrameMetadata metadata = frame(2880, 1800, rect(0, 0, 2880, 1800), rect(0, 0, 1440, 900));
  const std::uint64_t first = epoch_of(metadata);
  target_.display_id = 8;
  EXPECT_EQ(epoch_of(metadata), first + 1);
  config_.window_id = 3;
  EXPECT_EQ(epoch_of(metadata), first + 2);
}

TEST_F(FrameGeometryTest, EpochSurvivesEmptiedCellsAndReconfiguration) {
  const FrameMetadata metadata = frame(2880, 1800, rect(0, 0, 2880, 1800), rect(0, 0, 1440, 900));
  const std::uint64_t first = epoch_of(metadata);

  // The pipeline empties the cell at reconfiguration; the same geometry
  // comes back with the same epoch and the new generation.
  cell_.clear();
  tracker_.forget_target();
  generation_ = 2;
  const auto after = process(metadata);
  ASSERT_TRUE(after);
  EXPECT_EQ(after->epoch, first);
  EXPECT_EQ(after->reconfigure_generation, 2U);

  // An unusable frame empties the geometry; the next good one keeps the epoch.
  config_.width = 0;
  EXPECT_FALSE(process(frame(0, 0)).has_value());
  EXPECT_EQ(epoch_of(metadata), first);
  EXPECT_EQ(cell_.epoch_counter(), first);
}

TEST_F(FrameGeometryTest, LogsPublicationAtInfoOnlyWhenTheEpochMoves) {
  log::ScopedCapture capture;
  const FrameMetadata metadata = frame(2880, 1800, rect(0, 0, 2880, 1800), rect(0, 0, 1440, 900));
  process(metadata);
  process(metadata);
  std::vector<log::Level> levels;
  for (const log::CapturedEvent& event : capture.events()) {
    if (event.message == "published content rect") levels.push_back(event.level);
  }
  EXPECT_EQ(levels, (std::vector{log::Level::kInfo, log::Level::kTrace}));
  EXPECT_EQ(capture.events().front().field("content_rect_px"), "(0, 0, 2880, 1800)");
  EXPECT_EQ(capture.events().front().field("is_window"), "false");
}

TEST(CheckedI64Test, ConvertsOnlyWhatFitsInSixtyFourBits) {
  constexpr double kTwoTo63 = 9223372036854775808.0;
  struct Case {
    double value;
    std::optional<std::int64_t> expected;
  };
  const Case cases[] = {
      {0.0, 0},
      {-1.0, -1},
      {1920.0, 1920},
      {-kTwoTo63, std::numeric_limits<std::int64_t>::min()},
      {kTwoTo63, std::nullopt},
      {9223372036854774784.0, 9223372036854774784},  // the largest double below 2^63
      {-1.8446744073709552e19, std::nullopt},
      {std::numeric_limits<double>::infinity(), std::nullopt},
      {kNaN, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(checked_i64(c.value), c.expected) << c.value;
  }
}

}  // namespace
}  // namespace kivo::capture
