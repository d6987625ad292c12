// The options of kivo-service-standin.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "kivo/core/result.hpp"

namespace kivo::standin {

struct CommandLine {
  std::optional<std::filesystem::path> root;  // default: the system root
  std::uint64_t generation = 1;
  bool refuse_hello = false;
  bool until_quit = false;
  bool frames = false;  // print a line per frame read
  bool help = false;
  std::optional<std::uint64_t> seconds;
  std::optional<std::filesystem::path> video_out;
  std::optional<std::filesystem::path> audio_out;
  std::optional<std::filesystem::path> script;  // default: standard input
};

// `args` without the program name. The error says what is wrong.
Expected<CommandLine, std::string> parse_command_line(std::span<const std::string_view> args);

// The text of --help.
std::string_view usage_text();

}  // namespace kivo::standin
