// FileCommandWire: what a "file_command" asks of the file side for one route,
// told apart by its "type" member, and the FileOperation record it carries.
//
// FileOperation accepts camelCase and snake_case spellings of its keys; the
// first spelling is the one written and the one named in errors, and two
// spellings of the same key in one object are a duplicate.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <variant>

#include "kivo/core/json_codec.hpp"
#include "kivo/core/json_value.hpp"

namespace kivo::protocol {

struct FileOperation {
  std::string type;
  std::string operation;
  std::optional<std::string> target_path;
  std::optional<std::string> new_name;
  std::optional<std::string> session_id;
  std::optional<std::string> target;
  std::optional<std::string> file_name;
  bool is_directory = false;
  std::optional<std::string> dest_directory;
  std::optional<std::string> client_local_path;
  friend bool operator==(const FileOperation&, const FileOperation&) = default;
};

// "send": offer a local file to the peer.
struct FileSendCommand {
  std::string path;
  std::optional<std::string> session_id;
  std::optional<std::string> dest_directory;
  std::optional<std::string> ui_mode;
  friend bool operator==(const FileSendCommand&, const FileSendCommand&) = default;
};

// "operation": a remote file operation.
struct FileOperationCommand {
  FileOperation operation;
  friend bool operator==(const FileOperationCommand&, const FileOperationCommand&) = default;
};

// "list": a folder listing.
struct FileListCommand {
  std::optional<std::string> path;
  std::optional<std::string> session_id;
  friend bool operator==(const FileListCommand&, const FileListCommand&) = default;
};

// "control": a file control document passed through as it came; JSON null is
// a present payload, only a missing key is refused.
struct FileControlCommand {
  json::Value payload;
  friend bool operator==(const FileControlCommand&, const FileControlCommand&) = default;
};

using FileCommandWire =
    std::variant<FileSendCommand, FileOperationCommand, FileListCommand, FileControlCommand>;

}  // namespace kivo::protocol

template <>
struct kivo::json::Record<kivo::protocol::FileOperation> {
  using T = kivo::protocol::FileOperation;
  static constexpr std::string_view name = "FileOperation";
  static constexpr auto fields = std::make_tuple(
      field("type", &T::type), field("operation", &T::operation).alias("action"),
      field("targetPath", &T::target_path).alias("path").alias("target_path"),
      field("newName", &T::new_name).alias("new_name"),
      field("sessionId", &T::session_id).alias("session_id"), field("target", &T::target),
      field("fileName", &T::file_name).alias("file_name"),
      field("isDirectory", &T::is_directory).alias("is_directory").or_default(),
      field("destDirectory", &T::dest_directory).alias("dest_directory"),
      field("clientLocalPath", &T::client_local_path).alias("client_local_path"));
};

template <>
struct kivo::json::Record<kivo::protocol::FileSendCommand> {
  using T = kivo::protocol::FileSendCommand;
  static constexpr std::string_view name = "FileSendCommand";
  static constexpr std::string_view tag = "send";
  static constexpr auto fields = std::make_tuple(
      field("path", &T::path), field("session_id", &T::session_id),
      field("dest_directory", &T::dest_directory), field("uiMode", &T::ui_mode).alias("ui_mode"));
};

template <>
struct kivo::json::Record<kivo::protocol::FileOperationCommand> {
  using T = kivo::protocol::FileOperationCommand;
  static constexpr std::string_view name = "FileOperationCommand";
  static constexpr std::string_view tag = "operation";
  static constexpr auto fields = std::make_tuple(field("operation", &T::operation));
};

template <>
struct kivo::json::Record<kivo::protocol::FileListCommand> {
  using T = kivo::protocol::FileListCommand;
  static constexpr std::string_view name = "FileListCommand";
  static constexpr std::string_view tag = "list";
  static constexpr auto fields =
      std::make_tuple(field("path", &T::path), field("session_id", &T::session_id));
};

template <>
struct kivo::json::Record<kivo::protocol::FileControlCommand> {
  using T = kivo::protocol::FileControlCommand;
  static constexpr std::string_view name = "FileControlCommand";
  static constexpr std::string_view tag = "control";
  static constexpr auto fields = std::make_tuple(field("payload", &T::payload));
};

template <>
struct kivo::json::TaggedUnion<kivo::protocol::FileCommandWire> {
  static constexpr std::string_view name = "FileCommandWire";
  static constexpr std::string_view tag_key = "type";
};
