// Starting and retiring a capture: the procedures behind "start_capture",
// "stop_capture", the replacement of a capture whose target changed, and the
// runtime's cleanup. Both run with the AgentState lock held.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "agent_state.hpp"
#include "kivo/capture/capture_pipeline.hpp"
#include "kivo/core/result.hpp"
#include "kivo/protocol/capture_config.hpp"

namespace kivo::agent {

// Builds a stopped pipeline for a configuration.
using PipelineFactory = std::function<Result<std::unique_ptr<capture::CapturePipeline>>(
    const protocol::CaptureConfig&)>;

// Checks screen access ("agent.screen-denied"), creates and starts a new
// pipeline and waits for its first geometry; only then replaces the running
// capture (whose stop result is returned on failure), moves the capture
// epoch to `capture_epoch` and the input epoch on by one, and starts the
// video writers on the media socket. Any failure before the replacement
// leaves the running capture, the epochs and the reported status as they
// were; a failure after it leaves no capture and the stopped status.
Result<void> start_capture_session(AgentState& state, const protocol::CaptureConfig& config,
                                   std::uint64_t capture_epoch,
                                   const PipelineFactory& create_pipeline);

// The video writers number their frames from 0 under the state's capture
// epoch from their next frame on.
void publish_capture_epoch(AgentState& state);

// Stops the input worker, tells the video writers to stop, forgets the
// geometry and configuration, advances the input epoch when
// `advance_input_epoch`, stops and drops the pipeline, joins the writers and
// puts the physical display mode back. Never stops half-way; the result is
// the pipeline's stop result.
Result<void> stop_capture_session(AgentState& state, bool advance_input_epoch);

}  // namespace kivo::agent
