// File logging: the agent's diagnostic log in one file of its user.
//
// Log calls (log.hpp) format their line on the calling thread and put it on a
// bounded in-memory queue; the writer thread "kivo-log-writer" appends queued
// lines in batches of up to 256 KiB. Each batch opens the file, takes an
// exclusive flock on it (and, inside the process, the path's transaction
// lock), appends, or cuts the file down to its newest `keep` bytes when it
// would grow past `cap`, and closes it again, so another process may move or
// remove the file at any time. A log call never waits for the disk: a full
// queue drops the line.
//
// An uncaught exception (std::terminate) or a fatal signal writes a
// "panic at ..." line straight into the file. Trouble of the logging machinery
// itself goes to syslog and standard error (report_internal_error).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "kivo/core/log_filter.hpp"
#include "kivo/core/log_format.hpp"
#include "kivo/core/result.hpp"

namespace kivo::log {

struct LogFileOptions {
  // Permission bits given to the file at every open (an existing file too);
  // empty: created 0666 before the umask and left alone afterwards.
  std::optional<std::uint32_t> mode = 0600;
  // Largest size of the file in bytes.
  std::uint64_t cap = 2 * 1024 * 1024;
  // Bytes kept when the file is cut down.
  std::uint64_t keep = 1024 * 1024;
  // Largest number of bytes of lines waiting in memory.
  std::uint64_t queue = 4 * 1024 * 1024;
  // How long the final flush of a LoggingGuard being destroyed waits for a
  // flock held by another process before it drops what is left.
  std::chrono::milliseconds exit_lock_wait{2000};

  // InvalidMessage with the first of: "log cap must be greater than zero",
  // "log keep size must be greater than zero", "log keep size must not exceed
  // log cap", "log queue size must be greater than zero".
  Result<void> validate() const;
};

// The filter and line format of the events written to the file.
struct LogSetup {
  LogFilter filter = LogFilter::default_filter();
  LineFormat format;

  // KIVO_LOG (else kDefaultFilter), NO_COLOR and the system clock.
  static LogSetup from_environment();
};

// An absolute path as it is; a relative one joined to the current directory
// (Io when that cannot be read).
Result<std::filesystem::path> normalize_log_path(const std::filesystem::path& path);

// The process-wide lock of a normalised log path: every write of the file in
// this process holds it. Created on first use and kept for the whole process.
using TransactionLock = std::shared_ptr<std::mutex>;
TransactionLock transaction_lock_for_path(const std::filesystem::path& normalized);

// What is left of `content` when it is cut down to `keep` bytes: the last
// `keep` bytes, starting after their first line feed when there is one
// before their last byte (so the file starts at a line start).
std::string_view cut_down(std::string_view content, std::uint64_t keep);

// Called while another process holds the flock of the file: waits a little
// and returns true to try again, or returns false to give up.
using FileLockWait = std::function<bool()>;

// The log file: its normalised path, the options and the path's transaction lock.
class FileSink {
 public:
  FileSink(std::filesystem::path normalized, LogFileOptions options, TransactionLock lock);

  const std::filesystem::path& path() const { return path_; }
  const LogFileOptions& options() const { return options_; }
  const TransactionLock& transaction_lock() const { return lock_; }

  // Creates the folder and the file as needed, applies the mode and cuts a
  // file larger than cap down to keep. Fails with Io "log path is not a
  // regular file: {path}" (kind invalid input) when something else is there,
  // "log path has no parent directory" when the path names no file.
  Result<void> prepare() const;

  // Appends `batch` under the transaction lock and the flock, cutting the
  // file down when size + batch would pass cap. Without `wait` it waits for
  // the flock as long as it takes; with one it asks `wait` each time the
  // flock is busy and fails with Io (timed out) when told to give up.
  Result<void> write_batch(std::string_view batch, const FileLockWait& wait = {}) const;

  // write_batch for a caller that already holds the transaction lock.
  Result<void> write_batch_locked(std::string_view batch, const FileLockWait& wait = {}) const;

 private:
  std::filesystem::path path_;
  LogFileOptions options_;
  TransactionLock lock_;
};

struct WriterState;

// Owns the writer thread. Keep it until the very end: destroying it flushes,
// shuts the writer down (waiting at most exit_lock_wait for another process's
// flock), joins it and removes the handler, ignoring every error.
class LoggingGuard {
 public:
  LoggingGuard(LoggingGuard&&) noexcept;
  LoggingGuard& operator=(LoggingGuard&&) noexcept;
  ~LoggingGuard();

  // Waits until every line queued before the call has been handled. Fails
  // with the text of the last failed batch write since the previous flush
  // (Io, kind other), with Io (broken pipe) "log writer is shutting down" or
  // "log writer aborted" when the writer takes no more lines, or with
  // InvalidMessage "log writer stopped before flush".
  Result<void> flush();
  // Writes what was queued before the call and ends the writer; later lines
  // are dropped. Succeeds at once when already done. InvalidMessage "log
  // writer stopped before shutdown" when the writer ended without answering.
  Result<void> shutdown();
  // Waits for the writer thread to end; a second call succeeds at once.
  // InvalidMessage "log writer thread panicked" when it ended abnormally.
  Result<void> join();

  const FileSink& sink() const;

 private:
  struct Impl;
  explicit LoggingGuard(std::unique_ptr<Impl> impl);
  void close();

  friend Result<LoggingGuard> init_file_logging_with_options(const std::filesystem::path& path,
                                                             const LogFileOptions& options,
                                                             LogSetup setup);

  std::unique_ptr<Impl> impl_;
};

// Validates the options, prepares the file, starts the writer thread,
// installs the process's log handler and registers the file for panic lines.
// Fails with InvalidMessage "failed to initialize log handler: ..." while
// another LoggingGuard is alive.
Result<LoggingGuard> init_file_logging_with_options(const std::filesystem::path& path,
                                                    const LogFileOptions& options, LogSetup setup);
// The same with LogSetup::from_environment().
Result<LoggingGuard> init_file_logging_with_options(const std::filesystem::path& path,
                                                    const LogFileOptions& options);

// Reports a problem of the logging machinery outside the log: NUL bytes
// become spaces, then syslog at LOG_ERR and a line on standard error.
void report_internal_error(std::string_view text);

struct PanicLocation {
  std::string_view file = "<unknown>";
  std::uint32_t line = 0;
  std::uint32_t column = 0;
};

// Writes "panic at {file}:{line}:{column}: {payload}" straight into the log
// file of the live LoggingGuard (no time stamp, no styling). When the file is
// being written elsewhere in the process, or the write fails, the line goes
// to report_internal_error instead. A thread's top-level catch calls this for
// what escaped it; std::terminate and fatal signals call it by themselves.
void report_panic(std::string_view payload, PanicLocation where = {});

}  // namespace kivo::log
