#include "kivo/core/logging.hpp"

#include <dirent.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "kivo/core/log.hpp"
#include "log_test_support.hpp"

namespace kivo::log {
namespace {

namespace fs = std::filesystem;
using testing::count_lines;
using ::testing::HasSubstr;
using testing::HeldFlock;
using testing::read_file;
using testing::ScopedEnv;
using testing::TempDir;

const TimePoint kFixedTime = [] {
  using namespace std::chrono;
  return TimePoint(duration_cast<TimePoint::duration>(sys_days(2026y / 3 / 1).time_since_epoch() +
                                                      8h + 15min + 30s + 123456us));
}();

LogSetup plain_setup(std::string_view filter = "kivo=info") {
  LogSetup setup;
  setup.filter = *LogFilter::parse(filter);
  setup.format.styled = false;
  setup.format.clock = [] { return std::optional<TimePoint>(kFixedTime); };
  return setup;
}

class LoggingTest : public ::testing::Test {
 protected:
  LoggingGuard init(const LogFileOptions& options = {}, LogSetup setup = plain_setup()) {
    auto guard = init_file_logging_with_options(path_, options, std::move(setup));
    EXPECT_TRUE(guard.has_value()) << guard.error().display();
    return std::move(guard).value();
  }

  // A line of exactly `size` bytes in the file.
  static void log_line_of_size(std::size_t size, int number) {
    const std::string prefix = "2026-03-01T08:15:30.123456Z  INFO kivo_agent: ";
    std::string message = std::to_string(number) + " ";
    message.resize(size - prefix.size() - 1, 'x');
    KIVO_INFO("kivo_agent", message);
  }

  TempDir dir_;
  const fs::path path_ = dir_ / "agent.log";
};

TEST_F(LoggingTest, WritesFilteredEventsInTheLineLayoutStyledUnlessNoColor) {
  struct Case {
    std::optional<std::string> no_color;
    bool styled;
  };
  for (const Case& c : {Case{"1", false}, Case{"", true}, Case{std::nullopt, true}}) {
    TempDir dir;
    ScopedEnv env("NO_COLOR", c.no_color);
    LogSetup setup = LogSetup::from_environment();
    setup.filter = LogFilter::default_filter();
    setup.format.clock = plain_setup().format.clock;
    auto guard = init_file_logging_with_options(dir / "agent.log", LogFileOptions{}, setup);
    ASSERT_TRUE(guard.has_value());

    KIVO_INFO("kivo_agent", "agent runtime cleanup started");
    KIVO_DEBUG("kivo_agent", "filtered out by level");
    KIVO_ERROR("other", "filtered out by target");
    KIVO_WARN("kivo_file", "chunk rejected", field("task_id", "send_1"),
              debug_field("name", "a \"b\""));
    ASSERT_TRUE(guard->flush().has_value());

    const std::string expected =
        c.styled
            ? "\x1b[2m2026-03-01T08:15:30.123456Z\x1b[0m \x1b[32m INFO\x1b[0m "
              "\x1b[2mkivo_agent:\x1b[0m agent runtime cleanup started\n"
              "\x1b[2m2026-03-01T08:15:30.123456Z\x1b[0m \x1b[33m WARN\x1b[0m "
              "\x1b[2mkivo_file:\x1b[0m chunk rejected \x1b[3mtask_id\x1b[0m\x1b[2m=\x1b[0msend_1 "
              "\x1b[3mname\x1b[0m\x1b[2m=\x1b[0m\"a \\\"b\\\"\"\n"
            : "2026-03-01T08:15:30.123456Z  INFO kivo_agent: agent runtime cleanup started\n"
              "2026-03-01T08:15:30.123456Z  WARN kivo_file: chunk rejected task_id=send_1 "
              "name=\"a \\\"b\\\"\"\n";
    EXPECT_EQ(read_file(dir / "agent.log"), expected) << c.no_color.value_or("<unset>");
  }
}

TEST_F(LoggingTest, WriterThreadCarriesItsName) {
  LoggingGuard guard = init();
  bool found = false;
  for (const auto& task : fs::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    std::getline(comm, name);
    found = found || name == "kivo-log-writer";
  }
  EXPECT_TRUE(found);
}

TEST_F(LoggingTest, FlushAfterShutdownFailsAndShutdownRepeats) {
  LoggingGuard guard = init();
  KIVO_INFO("kivo_agent", "before shutdown");
  ASSERT_TRUE(guard.shutdown().has_value());
  KIVO_INFO("kivo_agent", "after shutdown");

  const Result<void> flushed = guard.flush();
  ASSERT_FALSE(flushed.has_value());
  EXPECT_EQ(flushed.error().display(), "io error: log writer is shutting down");
  EXPECT_EQ(flushed.error().io_kind(), IoKind::kBrokenPipe);
  EXPECT_TRUE(guard.shutdown().has_value());
  EXPECT_TRUE(guard.join().has_value());
  EXPECT_TRUE(guard.join().has_value());
  EXPECT_EQ(read_file(path_), "2026-03-01T08:15:30.123456Z  INFO kivo_agent: before shutdown\n");
}

TEST_F(LoggingTest, OneGuardAtATime) {
  {
    LoggingGuard first = init();
    const auto second = init_file_logging_with_options(dir_ / "second.log", {}, plain_setup());
    ASSERT_FALSE(second.has_value());
    EXPECT_EQ(second.error().display(),
              "invalid message: failed to initialize log handler: a global log handler has "
              "already been installed");
    KIVO_INFO("kivo_agent", "still going to the first");
    ASSERT_TRUE(first.flush().has_value());
    EXPECT_EQ(count_lines(read_file(path_)), 1u);
  }
  EXPECT_FALSE(enabled(Level::kError, "kivo_agent"));
  LoggingGuard again = init();
  EXPECT_TRUE(enabled(Level::kInfo, "kivo_agent"));
}

TEST_F(LoggingTest, InitFailsOnBadOptionsOrPath) {
  fs::create_symlink(dir_ / "elsewhere.log", path_);
  LogFileOptions bad;
  bad.cap = 1024 * 1024;
  bad.keep = 2 * 1024 * 1024;
  struct Case {
    fs::path path;
    LogFileOptions options;
    std::string expected;
  };
  const Case cases[] = {
      {dir_ / "ok.log", bad, "invalid message: log keep size must not exceed log cap"},
      {path_, LogFileOptions{}, "io error: log path is not a regular file: " + path_.string()},
  };
  for (const Case& c : cases) {
    const auto guard = init_file_logging_with_options(c.path, c.options, plain_setup());
    ASSERT_FALSE(guard.has_value());
    EXPECT_EQ(guard.error().display(), c.expected);
    EXPECT_FALSE(enabled(Level::kError, "kivo_agent"));
  }
}

TEST_F(LoggingTest, EveryWrittenLineGivesItsBytesBackToTheQueue) {
  LogFileOptions options;
  options.queue = 4096;
  LoggingGuard guard = init(options);
  // Each round queues 3000 bytes, under the bound only if the earlier rounds
  // gave all of theirs back.
  for (int round = 0; round < 10; ++round) {
    for (int i = 0; i < 30; ++i) log_line_of_size(100, round * 30 + i);
    ASSERT_TRUE(guard.flush().has_value());
  }
  const std::string content = read_file(path_);
  EXPECT_EQ(content.size(), 300u * 100u);
  EXPECT_EQ(count_lines(content), 300u);
}

TEST_F(LoggingTest, LineLongerThanTheQueueIsDropped) {
  LogFileOptions options;
  options.queue = 150;
  LoggingGuard guard = init(options);
  log_line_of_size(100, 1);
  ASSERT_TRUE(guard.flush().has_value());
  log_line_of_size(151, 2);
  log_line_of_size(150, 3);
  ASSERT_TRUE(guard.flush().has_value());
  const std::string content = read_file(path_);
  EXPECT_EQ(count_lines(content), 2u);
  EXPECT_THAT(content, HasSubstr("kivo_agent: 1 x"));
  EXPECT_THAT(content, HasSubstr("kivo_agent: 3 x"));
}

TEST_F(LoggingTest, LogCallsGoOnWhileAnotherHolderBlocksTheWriter) {
  LoggingGuard guard = init();
  HeldFlock held(path_);
  for (int i = 0; i < 2000; ++i) log_line_of_size(120, i);
  EXPECT_EQ(read_file(path_), "");

  held.release();
  ASSERT_TRUE(guard.flush().has_value());
  const std::string content = read_file(path_);
  ASSERT_EQ(count_lines(content), 2000u);
  std::size_t at = 0;
  for (int i = 0; i < 2000; ++i) {
    const std::string expected = "kivo_agent: " + std::to_string(i) + " x";
    ASSERT_EQ(content.compare(at + 46 - 12, expected.size(), expected), 0) << "line " << i;
    at += 120;
  }
}

TEST_F(LoggingTest, LinesLongerThanABatchArriveWholeAndInOrder) {
  LoggingGuard guard = init();
  HeldFlock held(path_);
  log_line_of_size(100, 1);
  log_line_of_size(300 * 1024, 2);
  log_line_of_size(100, 3);
  held.release();
  ASSERT_TRUE(guard.flush().has_value());
  const std::string content = read_file(path_);
  ASSERT_EQ(content.size(), 100u + 300u * 1024u + 100u);
  EXPECT_EQ(count_lines(content), 3u);
  EXPECT_EQ(content.compare(34, 14, "kivo_agent: 1 "), 0);
  EXPECT_EQ(content.compare(100 + 34, 14, "kivo_agent: 2 "), 0);
  EXPECT_EQ(content.compare(100 + 300 * 1024 + 34, 14, "kivo_agent: 3 "), 0);
}

TEST_F(LoggingTest, FullQueueDropsWholeLinesWhileTheWriterIsBlocked) {
  LogFileOptions options;
  options.queue = 1000;
  LoggingGuard guard = init(options);
  HeldFlock held(path_);
  for (int i = 0; i < 100; ++i) log_line_of_size(100, i);
  held.release();
  ASSERT_TRUE(guard.flush().has_value());
  // At most one batch in the writer's hands and one full queue behind it.
  const std::string content = read_file(path_);
  EXPECT_EQ(content.size() % 100, 0u);
  EXPECT_GE(count_lines(content), 10u);
  EXPECT_LE(count_lines(content), 20u);
}

TEST_F(LoggingTest, DestroyingTheGuardGivesUpOnAForeignLockInTime) {
  LogFileOptions options;
  options.exit_lock_wait = std::chrono::milliseconds(0);
  HeldFlock* held = nullptr;
  ::testing::internal::CaptureStderr();
  {
    LoggingGuard guard = init(options);
    held = new HeldFlock(path_);
    KIVO_INFO("kivo_agent", "never written");
  }
  const std::string errors = ::testing::internal::GetCapturedStderr();
  delete held;
  EXPECT_THAT(errors, HasSubstr("Kivo log writer failed: log file is locked by another process"));
  EXPECT_EQ(read_file(path_), "");
}

TEST_F(LoggingTest, FlushReturnsTheLastFailedBatchOnce) {
  LoggingGuard guard = init();
  KIVO_INFO("kivo_agent", "first");
  ASSERT_TRUE(guard.flush().has_value());
  fs::remove(path_);
  fs::create_directory(path_);

  ::testing::internal::CaptureStderr();
  KIVO_INFO("kivo_agent", "lost");
  const Result<void> failed = guard.flush();
  const std::string errors = ::testing::internal::GetCapturedStderr();
  const std::string text = "log path is not a regular file: " + path_.string();
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().display(), "io error: " + text);
  EXPECT_EQ(failed.error().io_kind(), IoKind::kOther);
  EXPECT_THAT(errors, HasSubstr("Kivo log writer failed: " + text));
  EXPECT_TRUE(guard.flush().has_value());

  fs::remove(path_);
  KIVO_INFO("kivo_agent", "back");
  ASSERT_TRUE(guard.flush().has_value());
  EXPECT_EQ(read_file(path_), "2026-03-01T08:15:30.123456Z  INFO kivo_agent: back\n");
}

TEST_F(LoggingTest, WriterKeepsTheFileWithinCap) {
  LogFileOptions options;
  options.cap = 4000;
  options.keep = 2000;
  LoggingGuard guard = init(options);
  for (int i = 0; i < 500; ++i) log_line_of_size(100, i);
  ASSERT_TRUE(guard.flush().has_value());
  const std::string content = read_file(path_);
  EXPECT_LE(content.size(), 4000u);
  EXPECT_EQ(content.size() % 100, 0u);
  EXPECT_THAT(content, HasSubstr("kivo_agent: 499 x"));
}

TEST_F(LoggingTest, ExistingFileModeIsTightenedByTheNextWrite) {
  testing::write_file(path_, "");
  fs::permissions(path_, fs::perms(0644));
  LoggingGuard guard = init();
  KIVO_INFO("kivo_agent", "written");
  ASSERT_TRUE(guard.flush().has_value());
  EXPECT_EQ(fs::status(path_).permissions(), fs::perms(0600));
}

}  // namespace
}  // namespace kivo::log
