#include "video_writers.hpp"

#include <chrono>
#include <exception>
#include <utility>

#include "kivo/core/log.hpp"
#include "thread_names.hpp"

namespace kivo::agent {
namespace {

using namespace std::chrono_literals;

constexpr auto kWaitPeriod = 50ms;

struct StampedVideoFrame {
  video::EncodedVideoFrame frame;
  std::uint64_t capture_epoch = 0;
};

}  // namespace

struct VideoWriters::Shared {
  VideoWriterInputs inputs;
  std::atomic<bool> stop{false};
  std::atomic<bool> abnormal{false};
  std::unique_ptr<capture::KeyFrameChannel<StampedVideoFrame>> stamped;

  void run_epoch_thread() {
    capture::EncodedVideoChannel& source = *inputs.outputs.video;
    while (!stop.load()) {
      std::optional<video::EncodedVideoFrame> frame = source.pop_for(kWaitPeriod);
      if (!frame) {
        if (source.finished()) break;
        continue;
      }
      const bool key_frame = frame->key_frame;
      StampedVideoFrame stamped_frame{std::move(*frame), inputs.capture_epoch->load()};
      if (stamped->push(std::move(stamped_frame), key_frame) ==
          capture::KeyFrameChannel<StampedVideoFrame>::Push::kClosed) {
        break;
      }
    }
    stamped->close();
    // Nobody takes the run's frames any more: its worker sees the closed
    // channel and ends the run rather than encode for no one.
    source.close();
  }

  void run_media_thread() {
    video::CaptureEpochGate gate;
    std::optional<std::uint64_t> asked_for_epoch;
    while (!stop.load()) {
      std::optional<StampedVideoFrame> item = stamped->pop_for(kWaitPeriod);
      if (!item) {
        if (stamped->finished()) break;
        continue;
      }
      const std::optional<std::uint64_t> sequence =
          gate.admit(item->capture_epoch, item->frame.key_frame);
      if (!sequence) {
        // A new epoch must open with a key frame: ask once rather than wait
        // for the encoder's interval.
        if (asked_for_epoch != item->capture_epoch) {
          asked_for_epoch = item->capture_epoch;
          inputs.outputs.request_key_frame();
        }
        continue;
      }
      const protocol::MediaFrame media{
          protocol::MediaFrame::Video{.agent_generation = inputs.agent_generation,
                                      .capture_epoch = item->capture_epoch,
                                      .stream_epoch = item->frame.stream_epoch,
                                      .sequence = *sequence,
                                      .keyframe = item->frame.key_frame,
                                      .data = std::move(item->frame.data)}};
      Result<bool> written =
          write_media_frame(*inputs.writer, media, inputs.diagnostics->write_counters(), stop);
      if (!written) {
        record_media_error(*inputs.diagnostics, written.error());
        KIVO_WARN("kivo_agent", "video media write failed", log::field("error", written.error()));
        break;
      }
      if (!*written) break;
    }
    // The epoch thread pushes into a closed channel and ends.
    stamped->close();
  }

  // Runs `body`, noting an escaping exception for the join.
  template <class Body>
  void guarded(Body body) {
    try {
      body();
    } catch (const std::exception& error) {
      abnormal.store(true);
      stamped->close();
      KIVO_ERROR("kivo_agent", "video writer failed", log::field("error", error.what()));
    } catch (...) {
      abnormal.store(true);
      stamped->close();
    }
  }
};

Result<std::unique_ptr<VideoWriters>> VideoWriters::start(VideoWriterInputs inputs) {
  if (!inputs.capture_epoch || !inputs.outputs.video || !inputs.outputs.request_key_frame ||
      !inputs.writer || !inputs.diagnostics) {
    return fail(KivoError::invalid_message("video writers need every input"));
  }
  auto shared = std::make_shared<Shared>();
  shared->stamped = std::make_unique<capture::KeyFrameChannel<StampedVideoFrame>>(
      capture::kVideoChannelLimit, inputs.outputs.request_key_frame);
  shared->inputs = std::move(inputs);
  std::unique_ptr<VideoWriters> writers(new VideoWriters(shared));

  auto epoch = spawn_named_thread(
      kVideoEpochThread, [shared] { shared->guarded([&] { shared->run_epoch_thread(); }); });
  if (!epoch) return fail(std::move(epoch).error());
  writers->epoch_thread_ = std::move(*epoch);
  auto media = spawn_named_thread(
      kVideoMediaThread, [shared] { shared->guarded([&] { shared->run_media_thread(); }); });
  if (!media) return fail(std::move(media).error());  // the destructor joins the first
  writers->media_thread_ = std::move(*media);
  return writers;
}

VideoWriters::~VideoWriters() {
  request_stop();
  (void)join();
}

void VideoWriters::request_stop() {
  shared_->stop.store(true);
}

bool VideoWriters::join() {
  if (epoch_thread_.joinable()) epoch_thread_.join();
  if (media_thread_.joinable()) media_thread_.join();
  return !shared_->abnormal.load();
}

}  // namespace kivo::agent
