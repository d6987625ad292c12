// FakeScreenSource: a scripted ScreenSource for tests. It lists the content
// it is given, and each stream it creates is driven by a FakeStreamControl:
// the test decides how every completion ends (success, error, never, or held
// and finished later), delivers samples with any status and with or without
// an image, and stops the stream with an error, from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kivo/capture/screen_source.hpp"

namespace kivo::capture {

// How the fake finishes a completion.
enum class CompletionScript : std::uint8_t {
  kSucceed,  // at once, on the calling thread
  kFail,     // at once, with FakeScreenSource::kFakeError
  kNever,    // drops it: the platform forgot
  kHold,     // keeps it until the test finishes it (a late completion)
};

// The script of one stream, fixed when the stream is created.
struct FakeStreamScript {
  CompletionScript start = CompletionScript::kSucceed;
  CompletionScript stop = CompletionScript::kSucceed;
  CompletionScript update = CompletionScript::kSucceed;
  bool refuse_screen_output = false;
  bool refuse_audio_output = false;
  bool refuse_remove_output = false;
  // Runs inside stop_capture before its completion is finished: a test can
  // stop the stream with an error there, or on another thread, to race a
  // teardown.
  std::function<void()> on_stop{};
};

// The test's side of one stream created by the fake. Outlives the stream.
// Safe for concurrent use.
class FakeStreamControl {
 public:
  FakeStreamControl(ContentFilter filter, StreamConfiguration configuration,
                    std::shared_ptr<StreamOutput> output, FakeStreamScript script);

  const ContentFilter& filter() const { return filter_; }
  // The configuration the stream has now (after successful updates).
  StreamConfiguration configuration() const;
  // What the capture code called, in order: "add_output screen", "start",
  // "update", "stop", "remove_output audio", "wait_for_callbacks",
  // "destroyed", ...
  std::vector<std::string> calls() const;
  bool started() const;
  bool destroyed() const;

  // Delivers a sample to the output, as the platform would, on the calling
  // thread. False (and nothing delivered) when the output of that type is
  // not added, the stream is destroyed, or audio is not being captured.
  bool deliver_screen(ScreenSample sample);
  bool deliver_audio(AudioSample sample);
  // A screen sample with the given raw status and, when `with_image`, a
  // small image.
  bool deliver_status(std::optional<std::int64_t> status, bool with_image = true);

  // Stops the stream by itself. False when it was already stopped this way
  // or destroyed.
  bool stop_with_error(StreamError error);

  // Finishes a held completion; false when none of that kind is held.
  bool finish_held_start(std::optional<StreamError> error = std::nullopt);
  bool finish_held_stop(std::optional<StreamError> error = std::nullopt);
  bool finish_held_update(std::optional<StreamError> error = std::nullopt);

  // The stream's side, called by FakeScreenStream.
  Result<void> add_output(OutputType type);
  Result<void> remove_output(OutputType type);
  void start_capture(Completion done);
  void stop_capture(Completion done);
  void update_configuration(const StreamConfiguration& configuration, Completion done);
  void wait_for_callbacks();
  void mark_destroyed();

 private:
  void record(std::string call);
  // Finishes or keeps `done` as `script` says.
  void run(CompletionScript script, Completion done, std::optional<Completion>& held);

  const ContentFilter filter_;
  const FakeStreamScript script_;
  mutable std::mutex mutex_;
  StreamConfiguration configuration_;
  std::optional<StreamConfiguration> pending_configuration_;
  std::shared_ptr<StreamOutput> output_;
  std::vector<std::string> calls_;
  bool screen_output_ = false;
  bool audio_output_ = false;
  bool started_ = false;
  bool stopped_by_error_ = false;
  bool destroyed_ = false;
  std::optional<Completion> held_start_;
  std::optional<Completion> held_stop_;
  std::optional<Completion> held_update_;
  // Held while an output callback runs.
  std::mutex callback_mutex_;
};

class FakeScreenSource final : public ScreenSource {
 public:
  static inline const StreamError kFakeError{"FakeScreenSource", -1, "scripted failure"};

  // What get_shareable_content answers.
  enum class ContentScript : std::uint8_t { kContent, kError, kNothing, kNever, kHold };

  FakeScreenSource() = default;

  void set_content(ShareableContent content);
  void set_content_script(ContentScript script);
  void set_main_display_id(std::optional<std::uint32_t> id);
  // Applies to streams created from now on.
  void set_stream_script(FakeStreamScript script);
  // create_stream fails with this error from now on.
  void refuse_streams(std::optional<KivoError> error);

  // Finishes a held content request with the current content.
  bool finish_held_content();

  // The streams created so far, oldest first.
  std::vector<std::shared_ptr<FakeStreamControl>> streams() const;
  std::shared_ptr<FakeStreamControl> last_stream() const;
  std::size_t content_requests() const;

  void get_shareable_content(const ShareableContentOptions& options,
                             ContentCompletion done) override;
  std::optional<std::uint32_t> main_display_id() override;
  Result<std::unique_ptr<ScreenStream>> create_stream(
      const ContentFilter& filter, const StreamConfiguration& configuration,
      std::shared_ptr<StreamOutput> output) override;

 private:
  mutable std::mutex mutex_;
  ShareableContent content_;
  ContentScript content_script_ = ContentScript::kContent;
  std::optional<std::uint32_t> main_display_id_;
  FakeStreamScript stream_script_;
  std::optional<KivoError> refuse_streams_;
  std::optional<ContentCompletion> held_content_;
  std::size_t content_requests_ = 0;
  std::vector<std::shared_ptr<FakeStreamControl>> streams_;
};

}  // namespace kivo::capture
