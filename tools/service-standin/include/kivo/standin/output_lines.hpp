// The lines the command-line tool prints: one JSON object per line.
#pragma once

#include <string>

#include "kivo/protocol/frames.hpp"
#include "kivo/standin/standin_service.hpp"

namespace kivo::standin {

// The document as received when it decoded and fits on one line; a decoded
// document with line breaks in compact form; otherwise
// {"undecodable":"<text>","error":"<reason>"}.
std::string document_line(const AgentDocument& document);
// The same rule for any received text: `error` is empty when it decoded.
std::string document_line(const std::string& raw, const std::string& error);

// {"frame":"video","bytes":N,"agent_generation":G,"capture_epoch":E,...}:
// the header fields of the frame and the size of its payload.
std::string frame_line(const protocol::MediaFrame& frame);
std::string frame_line(const protocol::BulkFrame& frame);

}  // namespace kivo::standin
