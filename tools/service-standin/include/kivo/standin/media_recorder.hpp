// Writes the agent's media to files: video access units (Annex B) back to
// back, which makes a raw H.264 stream; audio packets each behind a 4-byte
// little-endian length, since the packets carry no length of their own.
#pragma once

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "kivo/core/result.hpp"
#include "kivo/protocol/frames.hpp"

namespace kivo::standin {

class MediaRecorder {
 public:
  // Creates (or truncates) the files that are named.
  static Result<MediaRecorder> open(const std::optional<std::filesystem::path>& video_path,
                                    const std::optional<std::filesystem::path>& audio_path);

  // Appends a video or audio frame's payload to its file; other frames and
  // frames without a file are skipped.
  Result<void> record(const protocol::MediaFrame& frame);
  // Flushes and closes both files.
  Result<void> finish();

 private:
  struct FileCloser {
    void operator()(std::FILE* file) const;
  };
  using File = std::unique_ptr<std::FILE, FileCloser>;

  MediaRecorder(File video, File audio, std::string video_name, std::string audio_name);

  File video_;
  File audio_;
  std::string video_name_;
  std::string audio_name_;
};

}  // namespace kivo::standin
