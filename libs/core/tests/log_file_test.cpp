#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "kivo/core/logging.hpp"
#include "log_test_support.hpp"

namespace kivo::log {
namespace {

namespace fs = std::filesystem;
using testing::HeldFlock;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

LogFileOptions small_options(std::uint64_t cap, std::uint64_t keep) {
  LogFileOptions options;
  options.cap = cap;
  options.keep = keep;
  return options;
}

FileSink sink_at(const fs::path& path, const LogFileOptions& options) {
  return FileSink(path, options, transaction_lock_for_path(path));
}

unsigned mode_of(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0);
  return info.st_mode & 07777;
}

TEST(LogFileOptionsTest, ValidateReportsTheFirstProblem) {
  struct Case {
    std::uint64_t cap, keep, queue;
    const char* expected;  // nullptr: valid
  };
  const Case cases[] = {
      {0, 0, 0, "invalid message: log cap must be greater than zero"},
      {1, 0, 0, "invalid message: log keep size must be greater than zero"},
      {1024 * 1024, 2 * 1024 * 1024, 0, "invalid message: log keep size must not exceed log cap"},
      {10, 10, 0, "invalid message: log queue size must be greater than zero"},
      {10, 10, 1, nullptr},
      {2 * 1024 * 1024, 1024 * 1024, 4 * 1024 * 1024, nullptr},
  };
  for (const Case& c : cases) {
    LogFileOptions options;
    options.cap = c.cap;
    options.keep = c.keep;
    options.queue = c.queue;
    const Result<void> result = options.validate();
    if (c.expected == nullptr) {
      EXPECT_TRUE(result.has_value()) << c.cap << "/" << c.keep << "/" << c.queue;
    } else {
      ASSERT_FALSE(result.has_value()) << c.expected;
      EXPECT_EQ(result.error().display(), c.expected);
    }
  }
  EXPECT_TRUE(LogFileOptions{}.validate().has_value());
}

TEST(LogCutDownTest, KeepsTheNewestBytesFromALineStart) {
  struct Case {
    std::string content;
    std::uint64_t keep;
    std::string expected;
  };
  const Case cases[] = {
      {"short\n", 10, "short\n"},
      {"exactly10\n", 10, "exactly10\n"},
      {"aaaa\nbbbb\ncccc\n", 7, "cccc\n"},  // tail "b\ncccc\n": starts after its first line feed
      {"aaaa\nbbbb\ncccc\n", 5, "cccc\n"},  // tail is one whole line
      {"aaaa\nbbbb\n", 1, "\n"},            // the only line feed is the last byte
      {"abcdefghij", 4, "ghij"},            // no line feed: kept whole
      {"abc\ndefghij", 6, "efghij"},        // line feed not in the tail
      {"anything", 0, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(cut_down(c.content, c.keep), c.expected) << c.content << " keep " << c.keep;
  }
}

TEST(LogFileSinkTest, PrepareCutsALargeFileDownToKeepAtALineStart) {
  TempDir dir;
  const fs::path path = dir / "agent.log";
  std::string content;
  for (int i = 0; content.size() < 3 * 1024 * 1024; ++i) {
    content += "line " + std::to_string(i) + " of an old log with some padding text\n";
  }
  write_file(path, content);

  ASSERT_TRUE(sink_at(path, LogFileOptions{}).prepare().has_value());
  const std::string kept = read_file(path);
  EXPECT_LE(kept.size(), 1024u * 1024u);
  EXPECT_GT(kept.size(), 1024u * 1024u - 100u);
  ASSERT_TRUE(content.ends_with(kept));
  EXPECT_EQ(content[content.size() - kept.size() - 1], '\n');
}

TEST(LogFileSinkTest, PrepareLeavesAFileWithinCapAloneAndCreatesFolders) {
  TempDir dir;
  const fs::path existing = dir / "agent.log";
  write_file(existing, "old line\n");
  ASSERT_TRUE(sink_at(existing, LogFileOptions{}).prepare().has_value());
  EXPECT_EQ(read_file(existing), "old line\n");

  const fs::path nested = dir.path() / "Library" / "Logs" / "Kivo" / "agent.log";
  ASSERT_TRUE(sink_at(nested, LogFileOptions{}).prepare().has_value());
  EXPECT_TRUE(fs::is_regular_file(nested));
  EXPECT_EQ(mode_of(nested), 0600u);
}

TEST(LogFileSinkTest, UnusablePathsFail) {
  TempDir dir;
  write_file(dir / "target.log", "x\n");
  fs::create_symlink(dir / "target.log", dir / "link.log");
  fs::create_directory(dir / "folder.log");
  ::mkfifo((dir / "fifo.log").c_str(), 0600);

  struct Case {
    fs::path path;
    std::string expected;
  };
  const Case cases[] = {
      {dir / "link.log",
       "io error: log path is not a regular file: " + (dir / "link.log").string()},
      {dir / "folder.log",
       "io error: log path is not a regular file: " + (dir / "folder.log").string()},
      {dir / "fifo.log",
       "io error: log path is not a regular file: " + (dir / "fifo.log").string()},
      {dir.path() / "..", "io error: log path has no parent directory"},
      {fs::path("/"), "io error: log path has no parent directory"},
  };
  for (const Case& c : cases) {
    const FileSink sink = sink_at(c.path, LogFileOptions{});
    for (const Result<void>& result : {sink.prepare(), sink.write_batch("line\n")}) {
      ASSERT_FALSE(result.has_value()) << c.path;
      EXPECT_EQ(result.error().display(), c.expected);
      EXPECT_EQ(result.error().io_kind(), IoKind::kInvalidInput);
    }
  }
  EXPECT_EQ(read_file(dir / "target.log"), "x\n");
}

TEST(LogFileSinkTest, BatchAppendsUpToCapAndCutsDownPastIt) {
  const std::uint64_t cap = 100;
  const std::uint64_t keep = 50;
  struct Case {
    std::size_t batch_size;
    bool cut;
  };
  for (const Case c : {Case{10, false}, Case{11, true}}) {
    TempDir dir;
    const fs::path path = dir / "agent.log";
    std::string content;
    for (int i = 0; content.size() < cap - 10; ++i) content += "l" + std::to_string(i % 10) + "\n";
    ASSERT_EQ(content.size(), cap - 10);
    write_file(path, content);
    const std::string batch = std::string(c.batch_size - 1, 'b') + "\n";

    ASSERT_TRUE(sink_at(path, small_options(cap, keep)).write_batch(batch).has_value());
    const std::string after = read_file(path);
    if (c.cut) {
      EXPECT_EQ(after, std::string(cut_down(content + batch, keep)));
      EXPECT_LE(after.size(), keep);
    } else {
      EXPECT_EQ(after, content + batch);
    }
  }
}

TEST(LogFileSinkTest, OneLongLineWithoutLineFeedIsKeptWhole) {
  TempDir dir;
  const fs::path path = dir / "agent.log";
  write_file(path, std::string(100, 'x'));
  ASSERT_TRUE(sink_at(path, small_options(100, 40)).write_batch("yyyy").has_value());
  EXPECT_EQ(read_file(path), std::string(36, 'x') + "yyyy");
}

TEST(LogFileSinkTest, EveryWriteAppliesTheMode) {
  struct Case {
    std::optional<std::uint32_t> mode;
    unsigned expected;
  };
  for (const Case c : {Case{0600, 0600}, Case{0640, 0640}, Case{std::nullopt, 0644}}) {
    TempDir dir;
    const fs::path path = dir / "agent.log";
    write_file(path, "");
    fs::permissions(path, fs::perms(0644));
    LogFileOptions options;
    options.mode = c.mode;
    ASSERT_TRUE(sink_at(path, options).write_batch("line\n").has_value());
    EXPECT_EQ(mode_of(path), c.expected);
  }
}

TEST(LogFileSinkTest, BusyFlockIsWaitedForOnlyAsLongAsTheWaitAllows) {
  TempDir dir;
  const fs::path path = dir / "agent.log";
  const FileSink sink = sink_at(path, LogFileOptions{});
  HeldFlock held(path);

  int asked = 0;
  const Result<void> given_up = sink.write_batch("lost\n", [&] { return ++asked < 3; });
  ASSERT_FALSE(given_up.has_value());
  EXPECT_EQ(asked, 3);
  EXPECT_EQ(given_up.error().io_kind(), IoKind::kTimedOut);

  const Result<void> retried = sink.write_batch("kept\n", [&] {
    held.release();
    return true;
  });
  ASSERT_TRUE(retried.has_value());
  EXPECT_EQ(read_file(path), "kept\n");
}

TEST(LogPathTest, RelativePathsJoinTheCurrentDirectory) {
  EXPECT_EQ(*normalize_log_path("/var/log/agent.log"), fs::path("/var/log/agent.log"));
  EXPECT_EQ(*normalize_log_path("logs/agent.log"), fs::current_path() / "logs/agent.log");
}

TEST(LogPathTest, TransactionLockIsOnePerPath) {
  const TransactionLock a = transaction_lock_for_path("/tmp/kivo-lock-test/a.log");
  EXPECT_EQ(a, transaction_lock_for_path("/tmp/kivo-lock-test/a.log"));
  EXPECT_NE(a, transaction_lock_for_path("/tmp/kivo-lock-test/b.log"));
}

}  // namespace
}  // namespace kivo::log
