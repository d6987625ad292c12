// Whole-file reads and removal with the errors the agent reports.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "kivo/core/result.hpp"

namespace kivo {

// Reads a whole file as bytes. Failures are Io errors with the errno.
Result<std::string> read_file(const std::filesystem::path& path);

// Reads a whole file as UTF-8 text; nothing when the file does not exist.
// Text that is not UTF-8 is an Io error ("stream did not contain valid UTF-8").
Result<std::optional<std::string>> read_text_file_if_present(const std::filesystem::path& path);

// Deletes a file; a file that is already gone counts as deleted.
Result<void> remove_file_if_present(const std::filesystem::path& path);

}  // namespace kivo
