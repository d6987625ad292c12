#include "kivo/standin/command_line.hpp"

#include <fmt/format.h>

#include <charconv>
#include <limits>

namespace kivo::standin {
namespace {

constexpr std::string_view kUsage = R"(usage: kivo-service-standin [options] [SCRIPT]

Plays the privileged service towards one agent: listens at
<root>/run/kivo/com.kivo.service.agent, accepts the agent, answers its hello
(generation, media and bulk sockets), sends the commands of SCRIPT (or of
standard input, read to its end first) and prints what the agent sends.

Options:
  --root DIR          system root (default: $KIVO_SYSTEM_ROOT, else /)
  --generation N      agent generation in the hello reply (default 1)
  --refuse-hello      answer the hello with a refusal; no command is sent
  --seconds N         end the run N seconds after the start
  --until-quit        after the script, wait until the agent ends the link
                      (send {"type":"quit"} in the script)
  --video-out FILE    write received video access units (Annex B) back to
                      back: a raw H.264 stream
  --audio-out FILE    write received audio packets, each behind its length
                      as 4 bytes little-endian
  --frames            print a line for each frame read from the sockets
  --help              this text

Script: one JSON object per line; blank lines and lines starting with # are
skipped.
  {"stamp":{...},"message":{...}}     a service envelope, sent as written
  {"type":"query_status"}             a bare command, stamped with the
                                      generation and current capture epoch,
                                      numbered request_id 1, 2, ...; capture
                                      starts get a fresh capture epoch, and a
                                      "stop_capture" without "capture_epoch"
                                      gets the current one
  {"wait_ms":500}                     pause
  {"await":"status","timeout_ms":N}   wait for the next document of that type
                                      (default time-out 10000 ms)
  {"await":"replies","timeout_ms":N}  wait until every request sent so far is
                                      answered

Output: standard output has one JSON line per agent document as received,
the hello first; with --frames also {"frame":"video","bytes":N,...} lines.

Without --seconds or --until-quit the run ends when the script is done and
every request is answered (or after 10 s more). SIGINT or SIGTERM end it early.

Exit status: 0 the agent behaved (hello received, every document decoded and
well-formed, every request answered once with its request_id and stamp, unless
cut short by --seconds); 1 it did not (reasons on standard error); 2 usage,
script or set-up errors.
)";

Expected<std::uint64_t, std::string> number(std::string_view option, std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    return fail(fmt::format("{} needs a whole number, not \"{}\"", option, text));
  }
  return value;
}

}  // namespace

std::string_view usage_text() {
  return kUsage;
}

Expected<CommandLine, std::string> parse_command_line(std::span<const std::string_view> args) {
  CommandLine line;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    const auto value = [&]() -> Expected<std::string_view, std::string> {
      if (i + 1 >= args.size()) return fail(fmt::format("{} needs a value", arg));
      return args[++i];
    };
    if (arg == "--help" || arg == "-h") {
      line.help = true;
    } else if (arg == "--refuse-hello") {
      line.refuse_hello = true;
    } else if (arg == "--until-quit") {
      line.until_quit = true;
    } else if (arg == "--frames") {
      line.frames = true;
    } else if (arg == "--root" || arg == "--video-out" || arg == "--audio-out") {
      auto text = value();
      if (!text) return fail(std::move(text).error());
      if (text->empty()) return fail(fmt::format("{} needs a path", arg));
      auto& target = arg == "--root"        ? line.root
                     : arg == "--video-out" ? line.video_out
                                            : line.audio_out;
      target = std::filesystem::path(*text);
    } else if (arg == "--generation" || arg == "--seconds") {
      auto text = value();
      if (!text) return fail(std::move(text).error());
      auto parsed = number(arg, *text);
      if (!parsed) return fail(std::move(parsed).error());
      if (arg == "--generation") {
        line.generation = *parsed;
      } else {
        // A year is plenty; keeps the deadline arithmetic far from overflow.
        if (*parsed == 0 || *parsed > 366u * 24 * 3600) {
          return fail(fmt::format("--seconds must be between 1 and {}", 366u * 24 * 3600));
        }
        line.seconds = *parsed;
      }
    } else if (arg.size() > 1 && arg.front() == '-') {
      return fail(fmt::format("unknown option {}", arg));
    } else if (line.script) {
      return fail("more than one script");
    } else {
      line.script = std::filesystem::path(arg);
    }
  }
  return line;
}

}  // namespace kivo::standin
