#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <thread>
#include <vector>

#include "kivo/core/log.hpp"
#include "media_reader.hpp"
#include "media_writer.hpp"
#include "socket_io.hpp"
#include "socket_test_support.hpp"

namespace kivo::agent {
namespace {

using protocol::MediaFrame;
using testing::filled;

MediaFrame video(std::uint64_t sequence, std::size_t size) {
  return MediaFrame{MediaFrame::Video{.agent_generation = 2,
                                      .capture_epoch = 4,
                                      .stream_epoch = 4,
                                      .sequence = sequence,
                                      .keyframe = sequence == 0,
                                      .data = filled(size, static_cast<std::uint8_t>(sequence))}};
}

MediaFrame audio(std::uint64_t sequence) {
  return MediaFrame{MediaFrame::Audio{.agent_generation = 2,
                                      .capture_epoch = 4,
                                      .stream_epoch = 4,
                                      .sequence = sequence,
                                      .packet_sequence = static_cast<std::uint32_t>(sequence),
                                      .data = filled(3000, 1)}};
}

std::optional<MediaFrame> read_media(int fd) {
  auto bytes = read_framed_packet(fd, protocol::kMaxMediaBodyLength, "peer");
  if (!bytes) return std::nullopt;
  auto frame = protocol::decode_media_frame(*bytes);
  if (!frame) return std::nullopt;
  return std::move(*frame);
}

class MediaWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto installed = install_media_socket(std::move(pair.agent));
    ASSERT_TRUE(installed) << installed.error().display();
    writer = installed->writer;
    EXPECT_GE(installed->reader_fd.get(), 3);
  }

  testing::SocketPair pair;
  std::shared_ptr<MediaWriter> writer;
  VideoWriteCounters counters;
  std::atomic<bool> stop{false};
};

TEST_F(MediaWriterTest, VideoAndAudioThreadsNeverInterleaveFrames) {
  constexpr std::uint64_t kFrames = 40;
  constexpr std::size_t kVideoSize = 100'000;  // many short writes per frame
  std::vector<MediaFrame> received;
  std::thread reader([&] {
    while (auto frame = read_media(pair.peer.get())) received.push_back(std::move(*frame));
  });
  const auto write_all_of = [&](auto make) {
    for (std::uint64_t i = 0; i < kFrames; ++i) {
      auto written = write_media_frame(*writer, make(i), counters, stop);
      ASSERT_TRUE(written && *written) << i;
    }
  };
  std::thread video_thread(
      [&] { write_all_of([](std::uint64_t i) { return video(i, kVideoSize); }); });
  std::thread audio_thread([&] { write_all_of([](std::uint64_t i) { return audio(i); }); });
  video_thread.join();
  audio_thread.join();
  writer->shutdown_socket();
  pair.agent.reset();
  reader.join();

  // Every frame decoded whole, each stream in its own order.
  std::vector<std::uint64_t> video_sequences;
  std::vector<std::uint64_t> audio_sequences;
  for (const auto& frame : received) {
    if (const auto* v = std::get_if<MediaFrame::Video>(&frame.value)) {
      EXPECT_EQ(frame, video(v->sequence, kVideoSize));
      video_sequences.push_back(v->sequence);
    } else if (const auto* a = std::get_if<MediaFrame::Audio>(&frame.value)) {
      audio_sequences.push_back(a->sequence);
    }
  }
  ASSERT_EQ(video_sequences.size(), kFrames);
  ASSERT_EQ(audio_sequences.size(), kFrames);
  EXPECT_TRUE(std::is_sorted(video_sequences.begin(), video_sequences.end()));
  EXPECT_TRUE(std::is_sorted(audio_sequences.begin(), audio_sequences.end()));

  // Only video counts, length prefix included.
  EXPECT_EQ(counters.ok_frames.load(), kFrames);
  EXPECT_EQ(counters.ok_bytes.load(),
            kFrames * protocol::encode_media_frame(video(1, kVideoSize))->size());
}

TEST_F(MediaWriterTest, StopBeforeTheFirstByteWritesNothing) {
  stop = true;
  const auto written = write_media_frame(*writer, video(1, 10), counters, stop);
  ASSERT_TRUE(written);
  EXPECT_FALSE(*written);
  EXPECT_EQ(testing::readable_bytes(pair.peer.get()), 0);
  EXPECT_EQ(counters.ok_frames.load(), 0u);
}

TEST_F(MediaWriterTest, StopAfterPartOfAFrameFinishesItSoTheStreamStaysUsable) {
  const MediaFrame big = video(1, 4 * 1024 * 1024);
  Result<bool> written = false;
  std::thread media_thread([&] { written = write_media_frame(*writer, big, counters, stop); });
  ASSERT_TRUE(testing::eventually([&] { return testing::readable_bytes(pair.peer.get()) > 0; }));
  stop = true;

  EXPECT_EQ(read_media(pair.peer.get()), std::optional(big));
  media_thread.join();
  ASSERT_TRUE(written);
  EXPECT_TRUE(*written);

  // The next capture run writes on the same socket.
  stop = false;
  ASSERT_TRUE(write_media_frame(*writer, audio(2), counters, stop));
  EXPECT_EQ(read_media(pair.peer.get()), std::optional(audio(2)));
}

TEST_F(MediaWriterTest, FailuresAreErrorsOfTheWrite) {
  const auto too_large =
      write_media_frame(*writer, video(1, protocol::kMaxMediaBodyLength), counters, stop);
  ASSERT_FALSE(too_large);
  EXPECT_EQ(too_large.error().kind(), KivoError::Kind::kInvalidMessage);

  writer->shutdown_socket();
  const auto after_shutdown = write_media_frame(*writer, audio(1), counters, stop);
  ASSERT_FALSE(after_shutdown);
  EXPECT_EQ(after_shutdown.error().kind(), KivoError::Kind::kIo);
}

TEST_F(MediaWriterTest, FrameLeftHalfWrittenRefusesEveryLaterWrite) {
  Result<bool> written = false;
  std::thread media_thread(
      [&] { written = write_media_frame(*writer, video(1, 4 * 1024 * 1024), counters, stop); });
  ASSERT_TRUE(testing::eventually([&] { return testing::readable_bytes(pair.peer.get()) > 0; }));
  pair.peer.reset();
  media_thread.join();
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().os_error(), EPIPE);

  // A later frame would start in the middle of the unfinished one.
  const auto later = write_media_frame(*writer, audio(2), counters, stop);
  ASSERT_FALSE(later);
  EXPECT_EQ(later.error().display(), "io error: media socket holds an unfinished frame");
  EXPECT_EQ(counters.ok_frames.load(), 0u);
}

// ---- Playback reader --------------------------------------------------------

class RecordingPlayback : public PlaybackFrameConsumer {
 public:
  std::vector<MediaFrame::Playback> frames;
  void receive_playback_frame(MediaFrame::Playback frame) override {
    frames.push_back(std::move(frame));
  }
};

MediaFrame playback(std::uint64_t route_id, std::uint32_t sequence) {
  return MediaFrame{
      MediaFrame::Playback{.route_id = route_id, .sequence = sequence, .data = filled(40, 3)}};
}

void send_media(int fd, const MediaFrame& frame) {
  testing::write_all(fd, *protocol::encode_media_frame(frame));
}

TEST(MediaPlaybackReaderTest, HandsOnPlaybackFramesIgnoresOthersAndEndsOnAMalformedFrame) {
  testing::SocketPair pair;
  send_media(pair.peer.get(), playback(1, 10));
  send_media(pair.peer.get(), video(0, 16));
  send_media(pair.peer.get(), MediaFrame{MediaFrame::Short{.value64 = 1, .value32 = 2}});
  send_media(pair.peer.get(), playback(1, 11));
  testing::write_all(pair.peer.get(), {1, 0, 0, 0, 0x55});  // unknown kind
  send_media(pair.peer.get(), playback(1, 12));             // never read

  kivo::log::ScopedCapture capture;
  RecordingPlayback consumer;
  std::atomic<bool> stop{false};
  run_media_playback_reader(std::move(pair.agent), stop, &consumer);

  ASSERT_EQ(consumer.frames.size(), 2u);
  EXPECT_EQ(consumer.frames[0].sequence, 10u);
  EXPECT_EQ(consumer.frames[1].sequence, 11u);
  const auto events = capture.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].level, kivo::log::Level::kWarn);
  EXPECT_EQ(events[0].message, "failed to decode playback media frame");
}

TEST(MediaPlaybackReaderTest, WithoutAPlaybackEngineFramesAreDroppedWithATraceLine) {
  testing::SocketPair pair;
  send_media(pair.peer.get(), playback(6, 1));
  pair.peer.reset();

  kivo::log::ScopedCapture capture;
  std::atomic<bool> stop{false};
  run_media_playback_reader(std::move(pair.agent), stop, nullptr);

  const auto events = capture.events();
  ASSERT_EQ(events.size(), 1u);  // the end of the stream itself is silent
  EXPECT_EQ(events[0].level, kivo::log::Level::kTrace);
  EXPECT_EQ(events[0].target, "kivo_audio");
  EXPECT_EQ(events[0].field("route_id"), "6");
}

}  // namespace
}  // namespace kivo::agent
