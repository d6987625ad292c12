// MediaDiagnostics: the media threads' write counters and their last write
// failure, kept for the agent's lifetime and copied into every status report.
#pragma once

#include <mutex>
#include <optional>

#include "kivo/core/error.hpp"
#include "kivo/protocol/capture_status.hpp"
#include "media_writer.hpp"

namespace kivo::agent {

class MediaDiagnostics {
 public:
  // Advanced by write_media_frame without any lock.
  VideoWriteCounters& write_counters() { return counters_; }
  const VideoWriteCounters& write_counters() const { return counters_; }

  // Replaces the last media error; the newest failure always wins.
  void record_error(protocol::CaptureErrorRecord record);
  std::optional<protocol::CaptureErrorRecord> last_error() const;

 private:
  VideoWriteCounters counters_;
  mutable std::mutex mutex_;
  std::optional<protocol::CaptureErrorRecord> last_error_;
};

// Unix milliseconds of the wall clock; 0 when it reads before 1970.
std::uint64_t wall_clock_unix_ms();

// A failure as the status report carries it: the error's display text, its
// errno when it is an I/O error that has one (else 0), observed now.
protocol::CaptureErrorRecord capture_error_record(std::string domain, const KivoError& error,
                                                  std::uint64_t observed_unix_ms);

// Called by a media thread whose write failed.
void record_media_error(MediaDiagnostics& diagnostics, const KivoError& error);

}  // namespace kivo::agent
