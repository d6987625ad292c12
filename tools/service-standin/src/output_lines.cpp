#include "kivo/standin/output_lines.hpp"

#include <string_view>
#include <type_traits>

#include "kivo/core/json_parse.hpp"
#include "kivo/core/json_write.hpp"
#include "kivo/core/utf8.hpp"

namespace kivo::standin {
namespace {

// Text that is safe inside a JSON string: invalid UTF-8 becomes U+FFFD.
std::string valid_utf8(std::string_view text) {
  std::string out;
  while (!text.empty()) {
    const std::optional<Utf8Error> error = find_utf8_error(text);
    if (!error) {
      out += text;
      break;
    }
    out += text.substr(0, error->valid_up_to);
    out += "\xEF\xBF\xBD";
    const std::size_t skip =
        error->valid_up_to +
        error->error_len.value_or(static_cast<std::uint8_t>(text.size() - error->valid_up_to));
    text.remove_prefix(std::min(skip, text.size()));
  }
  return out;
}

void member(json::Writer& w, std::string_view key, std::uint64_t value) {
  w.key(key);
  w.unsigned_integer(value);
}
void member(json::Writer& w, std::string_view key, std::string_view value) {
  w.key(key);
  w.string(valid_utf8(value));
}
void member(json::Writer& w, std::string_view key, bool value) {
  w.key(key);
  w.boolean(value);
}

}  // namespace

std::string document_line(const std::string& raw, const std::string& error) {
  if (error.empty()) {
    if (raw.find_first_of("\r\n") == std::string::npos) return raw;
    if (Result<json::Value> value = json::parse(raw)) return json::to_string(*value);
  }
  json::Writer w;
  w.begin_object();
  member(w, "undecodable", std::string_view(raw));
  member(w, "error", std::string_view(error));
  w.end_object();
  return w.take();
}

std::string document_line(const AgentDocument& document) {
  return document_line(document.raw, document.envelope ? std::string() : document.error);
}

std::string frame_line(const protocol::MediaFrame& frame) {
  json::Writer w;
  w.begin_object();
  std::visit(
      [&](const auto& f) {
        using F = std::remove_cvref_t<decltype(f)>;
        if constexpr (std::is_same_v<F, protocol::MediaFrame::Video>) {
          member(w, "frame", std::string_view("video"));
          member(w, "bytes", std::uint64_t{f.data.size()});
          member(w, "agent_generation", f.agent_generation);
          member(w, "capture_epoch", f.capture_epoch);
          member(w, "stream_epoch", f.stream_epoch);
          member(w, "sequence", f.sequence);
          member(w, "keyframe", f.keyframe);
        } else if constexpr (std::is_same_v<F, protocol::MediaFrame::Audio>) {
          member(w, "frame", std::string_view("audio"));
          member(w, "bytes", std::uint64_t{f.data.size()});
          member(w, "agent_generation", f.agent_generation);
          member(w, "capture_epoch", f.capture_epoch);
          member(w, "stream_epoch", f.stream_epoch);
          member(w, "sequence", f.sequence);
          member(w, "packet_sequence", std::uint64_t{f.packet_sequence});
        } else if constexpr (std::is_same_v<F, protocol::MediaFrame::Playback>) {
          member(w, "frame", std::string_view("playback"));
          member(w, "bytes", std::uint64_t{f.data.size()});
          member(w, "route_id", f.route_id);
          member(w, "sequence", std::uint64_t{f.sequence});
        } else {
          member(w, "frame", std::string_view("short"));
          member(w, "value64", f.value64);
          member(w, "value32", std::uint64_t{f.value32});
        }
      },
      frame.value);
  w.end_object();
  return w.take();
}

std::string frame_line(const protocol::BulkFrame& frame) {
  json::Writer w;
  w.begin_object();
  std::visit(
      [&](const auto& f) {
        using F = std::remove_cvref_t<decltype(f)>;
        if constexpr (std::is_same_v<F, protocol::BulkFrame::FileData>) {
          member(w, "frame", std::string_view("file_data"));
          member(w, "bytes", std::uint64_t{f.data.size()});
          member(w, "route_id", f.route_id);
          member(w, "packet_id", f.packet_id);
          member(w, "task_id", std::string_view(f.task_id));
          member(w, "chunk_index", std::uint64_t{f.chunk_index});
        } else if constexpr (std::is_same_v<F, protocol::BulkFrame::FileAck>) {
          member(w, "frame", std::string_view("file_ack"));
          member(w, "bytes", std::uint64_t{f.payload.size()});
          member(w, "route_id", f.route_id);
          // The acknowledgement is a small JSON document: show it.
          member(
              w, "payload",
              std::string_view(reinterpret_cast<const char*>(f.payload.data()), f.payload.size()));
        } else if constexpr (std::is_same_v<F, protocol::BulkFrame::Clipboard>) {
          member(w, "frame", std::string_view("clipboard"));
          member(w, "bytes", std::uint64_t{f.packet.size()});
          member(w, "route_id", f.route_id);
        } else if constexpr (std::is_same_v<F, protocol::BulkFrame::ClipboardOutbound>) {
          member(w, "frame", std::string_view("clipboard_outbound"));
          member(w, "bytes", std::uint64_t{f.packet.size()});
          member(w, "route_id", f.route_id);
          member(w, "packet_id", f.packet_id);
        } else {
          member(w, "frame", std::string_view("display_thumbnail"));
          member(w, "request_id", f.request_id);
          member(w, "display_id", std::uint64_t{f.display_id});
          member(w, "index", std::uint64_t{f.index});
          if (const auto* image = std::get_if<protocol::BulkFrame::ThumbnailImage>(&f.result)) {
            member(w, "result", std::string_view("image"));
            member(w, "bytes", std::uint64_t{image->jpeg.size()});
          } else {
            member(w, "result", std::string_view("failure"));
            member(
                w, "code",
                std::string_view(std::get<protocol::BulkFrame::ThumbnailFailure>(f.result).code));
          }
        }
      },
      frame.value);
  w.end_object();
  return w.take();
}

}  // namespace kivo::standin
