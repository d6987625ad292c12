#include "kivo/capture/fake_screen_source.hpp"

namespace kivo::capture {
namespace {

const char* output_name(OutputType type) {
  return type == OutputType::kScreen ? "screen" : "audio";
}

class FakeScreenStream final : public ScreenStream {
 public:
  explicit FakeScreenStream(std::shared_ptr<FakeStreamControl> control)
      : control_(std::move(control)) {}
  ~FakeScreenStream() override { control_->mark_destroyed(); }

  Result<void> add_output(OutputType type) override { return control_->add_output(type); }
  Result<void> remove_output(OutputType type) override { return control_->remove_output(type); }
  void start_capture(Completion done) override { control_->start_capture(std::move(done)); }
  void stop_capture(Completion done) override { control_->stop_capture(std::move(done)); }
  void update_configuration(const StreamConfiguration& configuration, Completion done) override {
    control_->update_configuration(configuration, std::move(done));
  }
  void wait_for_callbacks() override { control_->wait_for_callbacks(); }

 private:
  std::shared_ptr<FakeStreamControl> control_;
};

}  // namespace

FakeStreamControl::FakeStreamControl(ContentFilter filter, StreamConfiguration configuration,
                                     std::shared_ptr<StreamOutput> output, FakeStreamScript script)
    : filter_(filter),
      script_(std::move(script)),
      configuration_(std::move(configuration)),
      output_(std::move(output)) {}

StreamConfiguration FakeStreamControl::configuration() const {
  std::lock_guard guard(mutex_);
  return configuration_;
}

std::vector<std::string> FakeStreamControl::calls() const {
  std::lock_guard guard(mutex_);
  return calls_;
}

bool FakeStreamControl::started() const {
  std::lock_guard guard(mutex_);
  return started_;
}

bool FakeStreamControl::destroyed() const {
  std::lock_guard guard(mutex_);
  return destroyed_;
}

void FakeStreamControl::record(std::string call) {
  std::lock_guard guard(mutex_);
  calls_.push_back(std::move(call));
}

bool FakeStreamControl::deliver_screen(ScreenSample sample) {
  std::lock_guard callback(callback_mutex_);
  std::shared_ptr<StreamOutput> output;
  {
    std::lock_guard guard(mutex_);
    if (destroyed_ || !screen_output_) return false;
    output = output_;
  }
  output->on_screen_sample(std::move(sample));
  return true;
}

bool FakeStreamControl::deliver_audio(AudioSample sample) {
  std::lock_guard callback(callback_mutex_);
  std::shared_ptr<StreamOutput> output;
  {
    std::lock_guard guard(mutex_);
    if (destroyed_ || !audio_output_ || !configuration_.captures_audio) return false;
    output = output_;
  }
  output->on_audio_sample(std::move(sample));
  return true;
}

bool FakeStreamControl::deliver_status(std::optional<std::int64_t> status, bool with_image) {
  ScreenSample sample;
  sample.attachments.status = status;
  sample.attachments.bounding_rect = protocol::Rect{{0, 0}, {4, 2}};
  sample.attachments.screen_rect = protocol::Rect{{0, 0}, {4, 2}};
  sample.attachments.scale_factor = 1.0;
  sample.attachments.content_scale = 1.0;
  if (with_image) sample.image = PixelBuffer::allocate(4, 2);
  sample.display_time = std::chrono::steady_clock::now();
  return deliver_screen(std::move(sample));
}

bool FakeStreamControl::stop_with_error(StreamError error) {
  std::lock_guard callback(callback_mutex_);
  std::shared_ptr<StreamOutput> output;
  {
    std::lock_guard guard(mutex_);
    if (destroyed_ || stopped_by_error_) return false;
    stopped_by_error_ = true;
    started_ = false;
    output = output_;
  }
  output->on_stopped_with_error(std::move(error));
  return true;
}

Result<void> FakeStreamControl::add_output(OutputType type) {
  record(std::string("add_output ") + output_name(type));
  const bool refuse =
      type == OutputType::kScreen ? script_.refuse_screen_output : script_.refuse_audio_output;
  if (refuse) return fail(KivoError::invalid_message(FakeScreenSource::kFakeError.description));
  std::lock_guard guard(mutex_);
  (type == OutputType::kScreen ? screen_output_ : audio_output_) = true;
  return ok();
}

Result<void> FakeStreamControl::remove_output(OutputType type) {
  record(std::string("remove_output ") + output_name(type));
  if (script_.refuse_remove_output) {
    return fail(KivoError::invalid_message(FakeScreenSource::kFakeError.description));
  }
  std::lock_guard guard(mutex_);
  (type == OutputType::kScreen ? screen_output_ : audio_output_) = false;
  return ok();
}

void FakeStreamControl::run(CompletionScript script, Completion done,
                            std::optional<Completion>& held) {
  switch (script) {
    case CompletionScript::kSucceed:
      done(std::nullopt);
      return;
    case CompletionScript::kFail:
      done(FakeScreenSource::kFakeError);
      return;
    case CompletionScript::kNever:
      return;
    case CompletionScript::kHold: {
      std::lock_guard guard(mutex_);
      held = std::move(done);
      return;
    }
  }
}

void FakeStreamControl::start_capture(Completion done) {
  record("start");
  if (script_.start == CompletionScript::kSucceed) {
    std::lock_guard guard(mutex_);
    started_ = true;
  }
  run(script_.start, std::move(done), held_start_);
}

void FakeStreamControl::stop_capture(Completion done) {
  record("stop");
  if (script_.on_stop) script_.on_stop();
  bool was_stopped_by_error = false;
  {
    std::lock_guard guard(mutex_);
    was_stopped_by_error = stopped_by_error_;
    started_ = false;
  }
  if (was_stopped_by_error && script_.stop == CompletionScript::kSucceed) {
    done(StreamError{"FakeScreenSource", -2, "the stream is not running"});
    return;
  }
  run(script_.stop, std::move(done), held_stop_);
}

void FakeStreamControl::update_configuration(const StreamConfiguration& configuration,
                                             Completion done) {
  record("update");
  {
    std::lock_guard guard(mutex_);
    if (script_.update == CompletionScript::kSucceed) {
      configuration_ = configuration;
    } else if (script_.update == CompletionScript::kHold) {
      pending_configuration_ = configuration;
    }
  }
  run(script_.update, std::move(done), held_update_);
}

void FakeStreamControl::wait_for_callbacks() {
  record("wait_for_callbacks");
  std::lock_guard callback(callback_mutex_);
}

void FakeStreamControl::mark_destroyed() {
  std::lock_guard callback(callback_mutex_);
  std::lock_guard guard(mutex_);
  calls_.emplace_back("destroyed");
  destroyed_ = true;
  started_ = false;
  screen_output_ = false;
  audio_output_ = false;
}

bool FakeStreamControl::finish_held_start(std::optional<StreamError> error) {
  std::optional<Completion> done;
  {
    std::lock_guard guard(mutex_);
    done.swap(held_start_);
    if (done && !error && !destroyed_) started_ = true;
  }
  if (!done) return false;
  (*done)(std::move(error));
  return true;
}

bool FakeStreamControl::finish_held_stop(std::optional<StreamError> error) {
  std::optional<Completion> done;
  {
    std::lock_guard guard(mutex_);
    done.swap(held_stop_);
  }
  if (!done) return false;
  (*done)(std::move(error));
  return true;
}

bool FakeStreamControl::finish_held_update(std::optional<StreamError> error) {
  std::optional<Completion> done;
  {
    std::lock_guard guard(mutex_);
    done.swap(held_update_);
    if (done && !error && pending_configuration_) configuration_ = *pending_configuration_;
    pending_configuration_.reset();
  }
  if (!done) return false;
  (*done)(std::move(error));
  return true;
}

void FakeScreenSource::set_content(ShareableContent content) {
  std::lock_guard guard(mutex_);
  content_ = std::move(content);
}

void FakeScreenSource::set_content_script(ContentScript script) {
  std::lock_guard guard(mutex_);
  content_script_ = script;
}

void FakeScreenSource::set_main_display_id(std::optional<std::uint32_t> id) {
  std::lock_guard guard(mutex_);
  main_display_id_ = id;
}

void FakeScreenSource::set_stream_script(FakeStreamScript script) {
  std::lock_guard guard(mutex_);
  stream_script_ = std::move(script);
}

void FakeScreenSource::refuse_streams(std::optional<KivoError> error) {
  std::lock_guard guard(mutex_);
  refuse_streams_ = std::move(error);
}

bool FakeScreenSource::finish_held_content() {
  std::optional<ContentCompletion> done;
  std::shared_ptr<const ShareableContent> content;
  {
    std::lock_guard guard(mutex_);
    done.swap(held_content_);
    content = std::make_shared<const ShareableContent>(content_);
  }
  if (!done) return false;
  (*done)(std::move(content), std::nullopt);
  return true;
}

std::vector<std::shared_ptr<FakeStreamControl>> FakeScreenSource::streams() const {
  std::lock_guard guard(mutex_);
  return streams_;
}

std::shared_ptr<FakeStreamControl> FakeScreenSource::last_stream() const {
  std::lock_guard guard(mutex_);
  return streams_.empty() ? nullptr : streams_.back();
}

std::size_t FakeScreenSource::content_requests() const {
  std::lock_guard guard(mutex_);
  return content_requests_;
}

void FakeScreenSource::get_shareable_content(const ShareableContentOptions&,
                                             ContentCompletion done) {
  ContentScript script;
  std::shared_ptr<const ShareableContent> content;
  {
    std::lock_guard guard(mutex_);
    ++content_requests_;
    script = content_script_;
    content = std::make_shared<const ShareableContent>(content_);
    if (script == ContentScript::kHold) {
      held_content_ = std::move(done);
      return;
    }
  }
  switch (script) {
    case ContentScript::kContent:
      done(std::move(content), std::nullopt);
      return;
    case ContentScript::kError:
      done(nullptr, kFakeError);
      return;
    case ContentScript::kNothing:
      done(nullptr, std::nullopt);
      return;
    case ContentScript::kNever:
    case ContentScript::kHold:
      return;
  }
}

std::optional<std::uint32_t> FakeScreenSource::main_display_id() {
  std::lock_guard guard(mutex_);
  return main_display_id_;
}

Result<std::unique_ptr<ScreenStream>> FakeScreenSource::create_stream(
    const ContentFilter& filter, const StreamConfiguration& configuration,
    std::shared_ptr<StreamOutput> output) {
  std::lock_guard guard(mutex_);
  if (refuse_streams_) return fail(*refuse_streams_);
  auto control =
      std::make_shared<FakeStreamControl>(filter, configuration, std::move(output), stream_script_);
  streams_.push_back(control);
  return std::unique_ptr<ScreenStream>(std::make_unique<FakeScreenStream>(std::move(control)));
}

}  // namespace kivo::capture
