// AgentState: the one record the command loop, the maintenance loop and the
// bulk reader share, behind one lock (SharedAgentState). Other locks are
// taken after it, never before.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "agent_features.hpp"
#include "bulk_writer.hpp"
#include "document_sender.hpp"
#include "graphics_snapshot.hpp"
#include "kivo/capture/capture_pipeline.hpp"
#include "kivo/protocol/capture_config.hpp"
#include "kivo/protocol/capture_geometry.hpp"
#include "kivo/protocol/capture_status.hpp"
#include "kivo/protocol/history_menu_entry.hpp"
#include "media_diagnostics.hpp"
#include "media_writer.hpp"
#include "routes.hpp"
#include "session_claim.hpp"
#include "video_writers.hpp"

namespace kivo::agent {

// The cached status before any capture and after a stop without a pipeline.
protocol::CaptureStatus stopped_capture_status();

// Where received files land: the temporary folder (resolved) and "kivo-clipboard".
std::filesystem::path default_received_root();

// The accepted recent-history snapshot.
struct RecentHistory {
  std::optional<std::pair<std::uint64_t, std::uint64_t>> epoch_and_revision;
  std::vector<protocol::HistoryMenuEntry> entries;
};

struct AgentState {
  explicit AgentState(std::unique_ptr<AgentFeatures> features);
  AgentState(const AgentState&) = delete;
  AgentState& operator=(const AgentState&) = delete;
  ~AgentState();

  std::uint64_t agent_generation = 0;
  std::uint64_t capture_epoch = 0;
  std::uint64_t input_epoch = 0;  // 0 until the first capture start
  std::uint32_t display_list_revision = 0;

  std::unique_ptr<capture::CapturePipeline> capture_pipeline;
  protocol::CaptureStatus capture_status = stopped_capture_status();
  std::optional<protocol::CaptureConfig> capture_config;
  bool desired_audio = false;
  std::optional<protocol::CaptureGeometry> geometry;
  capture::AudioPacketSequence audio_packet_sequence =
      std::make_shared<std::atomic<std::uint32_t>>(0);

  RouteTable routes;
  std::filesystem::path received_root = default_received_root();
  RecentHistory history;

  // The sockets, once installed; the sender once the hello has succeeded.
  std::unique_ptr<BulkWriter> bulk_writer;
  std::shared_ptr<MediaWriter> media_writer;
  std::shared_ptr<DocumentSender> sender;
  std::shared_ptr<MediaDiagnostics> media_diagnostics = std::make_shared<MediaDiagnostics>();

  // The graphics supervisor's view, read under its own lock.
  std::function<GraphicsSnapshot()> graphics_snapshot = [] { return GraphicsSnapshot{}; };
  // A fresh session claim (may wait up to a few seconds).
  std::function<SessionClaim()> session_claim = [] { return SessionClaim{}; };

  std::unique_ptr<AgentFeatures> features;

  // Set under the lock when cleanup begins; no command is handled after it.
  bool shutting_down = false;

  // The capture epoch as the video writers read it, and the writers of the
  // running capture. Declared last so that the writers stop first when the
  // state goes away.
  SharedCaptureEpoch shared_capture_epoch = std::make_shared<std::atomic<std::uint64_t>>(0);
  std::unique_ptr<VideoWriters> video_writers;

  protocol::AgentStamp stamp() const {
    return protocol::AgentStamp{.agent_generation = agent_generation,
                                .capture_epoch = capture_epoch};
  }
};

struct SharedAgentState {
  explicit SharedAgentState(std::unique_ptr<AgentFeatures> features) : state(std::move(features)) {}
  std::mutex mutex;
  AgentState state;
};

}  // namespace kivo::agent
