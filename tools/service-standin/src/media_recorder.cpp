#include "kivo/standin/media_recorder.hpp"

#include <cerrno>
#include <cstdint>

namespace kivo::standin {
namespace {

Result<void> write_bytes(std::FILE* file, const std::string& name, const void* data,
                         std::size_t size) {
  if (size == 0 || std::fwrite(data, 1, size, file) == size) return ok();
  return fail(KivoError::io_errno(errno).with_context("cannot write " + name));
}

}  // namespace

void MediaRecorder::FileCloser::operator()(std::FILE* file) const {
  std::fclose(file);
}

MediaRecorder::MediaRecorder(File video, File audio, std::string video_name, std::string audio_name)
    : video_(std::move(video)),
      audio_(std::move(audio)),
      video_name_(std::move(video_name)),
      audio_name_(std::move(audio_name)) {}

Result<MediaRecorder> MediaRecorder::open(const std::optional<std::filesystem::path>& video_path,
                                          const std::optional<std::filesystem::path>& audio_path) {
  const auto open_one = [](const std::optional<std::filesystem::path>& path) -> Result<File> {
    if (!path) return File();
    File file(std::fopen(path->c_str(), "wb"));
    if (!file)
      return fail(KivoError::io_errno(errno).with_context("cannot create " + path->string()));
    return file;
  };
  Result<File> video = open_one(video_path);
  if (!video) return fail(std::move(video).error());
  Result<File> audio = open_one(audio_path);
  if (!audio) return fail(std::move(audio).error());
  return MediaRecorder(std::move(*video), std::move(*audio),
                       video_path ? video_path->string() : std::string(),
                       audio_path ? audio_path->string() : std::string());
}

Result<void> MediaRecorder::record(const protocol::MediaFrame& frame) {
  if (const auto* video = std::get_if<protocol::MediaFrame::Video>(&frame.value); video && video_) {
    return write_bytes(video_.get(), video_name_, video->data.data(), video->data.size());
  }
  if (const auto* audio = std::get_if<protocol::MediaFrame::Audio>(&frame.value); audio && audio_) {
    const auto size = static_cast<std::uint32_t>(audio->data.size());
    const std::uint8_t prefix[4] = {
        static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(size >> 8),
        static_cast<std::uint8_t>(size >> 16), static_cast<std::uint8_t>(size >> 24)};
    KIVO_TRY(write_bytes(audio_.get(), audio_name_, prefix, sizeof prefix));
    return write_bytes(audio_.get(), audio_name_, audio->data.data(), audio->data.size());
  }
  return ok();
}

Result<void> MediaRecorder::finish() {
  Result<void> outcome;
  for (auto [file, name] : {std::pair{&video_, &video_name_}, std::pair{&audio_, &audio_name_}}) {
    if (!*file) continue;
    std::FILE* raw = file->release();
    if (std::fclose(raw) != 0 && outcome) {
      outcome = fail(KivoError::io_errno(errno).with_context("cannot write " + *name));
    }
  }
  return outcome;
}

}  // namespace kivo::standin
