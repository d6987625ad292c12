#include "kivo/video/fake_encoder_session.hpp"

namespace kivo::video {

struct FakeEncoderFactory::State {
  mutable std::mutex mutex;
  FakeEncoderScript script;
  std::optional<EncoderSessionSettings> settings;
  EncoderOutput output;
  std::vector<std::pair<EncoderProperty, PropertyValue>> properties;
  std::vector<SubmittedFrame> frames;
  std::vector<std::uint8_t> first_luma;
  bool prepared = false;
  bool invalidated = false;
  std::int32_t key_frame_interval = 0;
  std::uint64_t since_key_frame = 0;
  struct Output {
    EncoderStatus status;
    std::uint32_t flags;
    std::optional<EncodedSample> sample;
  };
  std::vector<Output> held;

  // Calls the output function for `outputs`, outside the lock, unless the
  // session has been invalidated meanwhile.
  void deliver(std::vector<Output> outputs) {
    EncoderOutput function;
    {
      std::lock_guard lock(mutex);
      if (invalidated) return;
      function = output;
    }
    for (Output& out : outputs) function(out.status, out.flags, std::move(out.sample));
  }
};

namespace {

void append_nal(std::vector<std::uint8_t>& out, const std::vector<std::uint8_t>& nal) {
  const auto length = static_cast<std::uint32_t>(nal.size());
  for (int shift = 24; shift >= 0; shift -= 8) {
    out.push_back(static_cast<std::uint8_t>(length >> shift));
  }
  out.insert(out.end(), nal.begin(), nal.end());
}

class FakeSession : public VideoEncoderSession {
 public:
  explicit FakeSession(std::shared_ptr<FakeEncoderFactory::State> state)
      : state_(std::move(state)) {}

  EncoderStatus set_property(EncoderProperty property, const PropertyValue& value) override {
    std::lock_guard lock(state_->mutex);
    if (state_->invalidated) return encoder_status::kInvalidSession;
    if (auto it = state_->script.rejected.find(property); it != state_->script.rejected.end()) {
      return it->second;
    }
    if (property == EncoderProperty::kSupportsBaseFrameQP) return encoder_status::kPropertyReadOnly;
    if (property == EncoderProperty::kMaxKeyFrameInterval) {
      if (const auto* frames = std::get_if<std::int32_t>(&value)) {
        state_->key_frame_interval = *frames;
      }
    }
    state_->properties.emplace_back(property, value);
    return encoder_status::kOk;
  }

  EncoderStatus copy_property(EncoderProperty property,
                              std::optional<PropertyValue>& value) override {
    std::lock_guard lock(state_->mutex);
    value.reset();
    if (property != EncoderProperty::kSupportsBaseFrameQP) {
      return encoder_status::kPropertyNotSupported;
    }
    switch (state_->script.base_qp) {
      case FakeEncoderScript::BaseQpAnswer::kSupported:
        value = true;
        break;
      case FakeEncoderScript::BaseQpAnswer::kUnsupported:
        value = false;
        break;
      case FakeEncoderScript::BaseQpAnswer::kNoValue:
        break;
      case FakeEncoderScript::BaseQpAnswer::kQueryFails:
        return encoder_status::kPropertyNotSupported;
    }
    return encoder_status::kOk;
  }

  EncoderStatus prepare_to_encode_frames() override {
    std::lock_guard lock(state_->mutex);
    if (state_->script.prepare_status == encoder_status::kOk) state_->prepared = true;
    return state_->script.prepare_status;
  }

  EncoderStatus encode_frame(const Nv12View& picture, std::int64_t pts_us,
                             const FrameOptions& options, std::uint32_t& info_flags) override {
    info_flags = 0;
    std::vector<FakeEncoderFactory::State::Output> now;
    {
      std::lock_guard lock(state_->mutex);
      if (state_->invalidated) return encoder_status::kInvalidSession;
      const FakeEncoderScript& script = state_->script;
      if (script.encode_status != encoder_status::kOk) return script.encode_status;
      const std::int32_t interval = state_->key_frame_interval;
      const bool key =
          state_->frames.empty() || options.force_key_frame ||
          (interval > 0 && state_->since_key_frame + 1 >= static_cast<std::uint64_t>(interval));
      state_->since_key_frame = key ? 0 : state_->since_key_frame + 1;
      state_->frames.push_back({picture.width, picture.height, pts_us, options, key});
      state_->first_luma.push_back(picture.y[0]);
      if (script.drop_on_submit) {
        info_flags = encode_info::kFrameDropped;
        return encoder_status::kOk;
      }
      FakeEncoderFactory::State::Output out{script.output_status, 0, std::nullopt};
      if (script.output_status == encoder_status::kOk && !script.output_without_sample) {
        EncodedSample sample;
        sample.nal_length_size = 4;
        sample.pts_us = pts_us;
        sample.parameter_sets = {FakeEncoderFactory::sps(), FakeEncoderFactory::pps()};
        if (key && script.in_band_parameter_sets) {
          append_nal(sample.data, FakeEncoderFactory::sps());
          append_nal(sample.data, FakeEncoderFactory::pps());
        }
        const auto counter = static_cast<std::uint8_t>(state_->frames.size());
        append_nal(sample.data, key ? std::vector<std::uint8_t>{0x65, 0x88, counter}
                                    : std::vector<std::uint8_t>{0x41, 0x9A, counter});
        out.sample = std::move(sample);
      }
      if (script.hold_output) {
        state_->held.push_back(std::move(out));
        info_flags = encode_info::kAsynchronous;
        return encoder_status::kOk;
      }
      now.push_back(std::move(out));
    }
    state_->deliver(std::move(now));
    return encoder_status::kOk;
  }

  EncoderStatus complete_frames() override {
    std::vector<FakeEncoderFactory::State::Output> held;
    {
      std::lock_guard lock(state_->mutex);
      held.swap(state_->held);
    }
    state_->deliver(std::move(held));
    return encoder_status::kOk;
  }

  void invalidate() override {
    std::lock_guard lock(state_->mutex);
    state_->invalidated = true;
    state_->held.clear();
  }

 private:
  std::shared_ptr<FakeEncoderFactory::State> state_;
};

}  // namespace

const std::vector<std::uint8_t>& FakeEncoderFactory::sps() {
  static const std::vector<std::uint8_t> bytes{0x67, 0x64, 0x00, 0x1F, 0xAC};
  return bytes;
}

const std::vector<std::uint8_t>& FakeEncoderFactory::pps() {
  static const std::vector<std::uint8_t> bytes{0x68, 0xEE, 0x3C, 0x80};
  return bytes;
}

FakeEncoderFactory::FakeEncoderFactory() : state_(std::make_shared<State>()) {}

EncoderStatus FakeEncoderFactory::create_session(const EncoderSessionSettings& settings,
                                                 EncoderOutput output,
                                                 std::unique_ptr<VideoEncoderSession>& session) {
  std::lock_guard lock(state_->mutex);
  if (state_->script.create_status != encoder_status::kOk) return state_->script.create_status;
  if (settings.width == 0 || settings.height == 0) return encoder_status::kParameterError;
  state_->settings = settings;
  state_->output = std::move(output);
  state_->invalidated = false;
  state_->prepared = false;
  session = std::make_unique<FakeSession>(state_);
  return encoder_status::kOk;
}

void FakeEncoderFactory::set_script(FakeEncoderScript script) {
  std::lock_guard lock(state_->mutex);
  state_->script = std::move(script);
}

std::optional<EncoderSessionSettings> FakeEncoderFactory::settings() const {
  std::lock_guard lock(state_->mutex);
  return state_->settings;
}

std::vector<std::pair<EncoderProperty, PropertyValue>> FakeEncoderFactory::properties() const {
  std::lock_guard lock(state_->mutex);
  return state_->properties;
}

std::optional<PropertyValue> FakeEncoderFactory::property(EncoderProperty property) const {
  std::lock_guard lock(state_->mutex);
  for (auto it = state_->properties.rbegin(); it != state_->properties.rend(); ++it) {
    if (it->first == property) return it->second;
  }
  return std::nullopt;
}

std::vector<FakeEncoderFactory::SubmittedFrame> FakeEncoderFactory::frames() const {
  std::lock_guard lock(state_->mutex);
  return state_->frames;
}

std::vector<std::uint8_t> FakeEncoderFactory::first_luma_bytes() const {
  std::lock_guard lock(state_->mutex);
  return state_->first_luma;
}

bool FakeEncoderFactory::prepared() const {
  std::lock_guard lock(state_->mutex);
  return state_->prepared;
}

bool FakeEncoderFactory::invalidated() const {
  std::lock_guard lock(state_->mutex);
  return state_->invalidated;
}

std::size_t FakeEncoderFactory::held_outputs() const {
  std::lock_guard lock(state_->mutex);
  return state_->held.size();
}

std::size_t FakeEncoderFactory::release_held_output() {
  std::vector<State::Output> held;
  {
    std::lock_guard lock(state_->mutex);
    held.swap(state_->held);
  }
  const std::size_t count = held.size();
  state_->deliver(std::move(held));
  return count;
}

}  // namespace kivo::video
