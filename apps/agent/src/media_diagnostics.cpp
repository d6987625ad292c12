#include "media_diagnostics.hpp"

#include <chrono>
#include <utility>

namespace kivo::agent {

void MediaDiagnostics::record_error(protocol::CaptureErrorRecord record) {
  std::lock_guard lock(mutex_);
  last_error_ = std::move(record);
}

std::optional<protocol::CaptureErrorRecord> MediaDiagnostics::last_error() const {
  std::lock_guard lock(mutex_);
  return last_error_;
}

std::uint64_t wall_clock_unix_ms() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count();
  return ms > 0 ? static_cast<std::uint64_t>(ms) : 0;
}

protocol::CaptureErrorRecord capture_error_record(std::string domain, const KivoError& error,
                                                  std::uint64_t observed_unix_ms) {
  std::int64_t code = 0;
  if (error.kind() == KivoError::Kind::kIo && error.os_error()) code = *error.os_error();
  return protocol::CaptureErrorRecord{.domain = std::move(domain),
                                      .code = code,
                                      .detail = error.display(),
                                      .observed_unix_ms = observed_unix_ms};
}

void record_media_error(MediaDiagnostics& diagnostics, const KivoError& error) {
  diagnostics.record_error(capture_error_record("media", error, wall_clock_unix_ms()));
}

}  // namespace kivo::agent
