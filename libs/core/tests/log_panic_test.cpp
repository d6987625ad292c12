#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "kivo/core/logging.hpp"
#include "log_test_support.hpp"

namespace kivo::log {
namespace {

using ::testing::HasSubstr;
using testing::read_file;
using testing::TempDir;

LogSetup quiet_setup() {
  LogSetup setup;
  setup.format.styled = false;
  return setup;
}

void init_and_keep(const std::filesystem::path& path) {
  auto guard = init_file_logging_with_options(path, LogFileOptions{}, quiet_setup());
  if (!guard) std::abort();
  // The guard is left alive: the process is about to die, as the agent's would.
  new LoggingGuard(std::move(guard).value());
}

TEST(LogPanicDeathTest, UncaughtExceptionWritesItsTextAsAPanicLine) {
  TempDir dir;
  const auto path = dir / "agent.log";
  EXPECT_DEATH(
      {
        init_and_keep(path);
        std::thread([] { throw std::runtime_error("boom in a worker"); }).join();
      },
      "boom in a worker");
  EXPECT_EQ(read_file(path), "panic at <unknown>:0:0: boom in a worker\n");
}

TEST(LogPanicDeathTest, NonStandardExceptionHasAGenericPayload) {
  TempDir dir;
  const auto path = dir / "agent.log";
  EXPECT_DEATH(
      {
        init_and_keep(path);
        std::thread([] { throw 42; }).join();
      },
      "");
  EXPECT_EQ(read_file(path), "panic at <unknown>:0:0: non-string panic payload\n");
}

TEST(LogPanicDeathTest, FatalSignalWritesAPanicLineAndStillKills) {
  TempDir dir;
  const auto path = dir / "agent.log";
  EXPECT_DEATH(
      {
        init_and_keep(path);
        ::raise(SIGSEGV);
      },
      "");
  EXPECT_EQ(read_file(path), "panic at <unknown>:0:0: fatal signal SIGSEGV\n");
}

TEST(LogPanicTest, ReportedPanicGoesToTheFileOrElsewhereWhenTheFileIsBusy) {
  TempDir dir;
  const auto path = dir / "agent.log";
  auto guard = init_file_logging_with_options(path, LogFileOptions{}, quiet_setup());
  ASSERT_TRUE(guard.has_value());

  report_panic("thread ended", {"src/worker.cpp", 12, 5});
  EXPECT_EQ(read_file(path), "panic at src/worker.cpp:12:5: thread ended\n");

  ::testing::internal::CaptureStderr();
  {
    // As if the panic came from inside a write of the file by this process.
    std::lock_guard busy(*guard->sink().transaction_lock());
    report_panic("inside a write");
  }
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              HasSubstr("panic at <unknown>:0:0: inside a write\n"));
  EXPECT_EQ(read_file(path), "panic at src/worker.cpp:12:5: thread ended\n");
}

TEST(LogPanicTest, InternalErrorsReplaceNulBytes) {
  ::testing::internal::CaptureStderr();
  report_internal_error(std::string_view("a\0b", 3));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "a b\n");
}

}  // namespace
}  // namespace kivo::log
