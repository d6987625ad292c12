// Cost of writing the agent's largest routine document, a "status" reply with
// geometry and full diagnostics, and of reading it back as a test reader does.
#include <benchmark/benchmark.h>

#include <optional>
#include <string>

#include "kivo/protocol/agent_message.hpp"

namespace {

using namespace kivo::protocol;

agent_msg::Status busy_status() {
  agent_msg::Status status;
  status.status = {true, "screencapturekit_videotoolbox", "capture.running"};
  CaptureGeometry g;
  g.reconfigure_generation = 3;
  g.epoch = 17;
  g.display_id = 69733378;
  g.display_bounds_points = {{-1512.0, 0.0}, {1512.0, 982.0}};
  g.surface_size_px = {3024.0, 1964.0};
  g.content_rect_px = {{0.0, 1.5}, {3024.0, 1961.0}};
  status.geometry = g;
  status.input_epoch = 42;

  CaptureDiagnostics d;
  d.agent_generation = 7;
  d.capture_epoch = 17;
  d.stream_epoch = 17;
  d.source_callbacks = 1234567;
  d.source_usable_frames = 1200000;
  d.source_status_complete = 1200000;
  d.source_status_idle = 34567;
  d.vt_submit_ok = 1200000;
  d.vt_output_ok = 1199990;
  d.vt_output_dropped = 10;
  d.annexb_emitted_frames = 1199990;
  d.annexb_emitted_bytes = 9876543210;
  d.annexb_emitted_keyframes = 400;
  d.agent_write_ok_frames = 1199990;
  d.agent_write_ok_bytes = 9876543210;
  d.graphics_health = {CapabilityHealthState::kReady, 7, 17, 42, 0, 0, 0, 0, std::nullopt};
  d.input_health = {CapabilityHealthState::kReady,
                    7,
                    17,
                    42,
                    3,
                    1,
                    1,
                    98765,
                    CaptureErrorRecord{"input", -1, "event tap disabled", 1700000000000}};
  d.last_vt_error = CaptureErrorRecord{"vt", -12902, "kVTParameterErr", 1700000000123};
  status.diagnostics = d;
  return status;
}

void BM_EncodeStatusWithDiagnostics(benchmark::State& state) {
  const AgentMessage message = busy_status();
  const AgentStamp stamp{7, 17};
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string text = encode_agent_envelope(99, stamp, message);
    bytes += text.size();
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_EncodeStatusWithDiagnostics);

void BM_DecodeStatusWithDiagnostics(benchmark::State& state) {
  const std::string text = encode_agent_envelope(99, {7, 17}, busy_status());
  for (auto _ : state) {
    auto envelope = decode_agent_envelope(text);
    benchmark::DoNotOptimize(envelope);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_DecodeStatusWithDiagnostics);

}  // namespace

BENCHMARK_MAIN();
