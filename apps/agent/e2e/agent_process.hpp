// Runs the real kivo-agent binary for end-to-end tests: its own system root
// and home, standard error kept in a file, and a bounded wait for its exit.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kivo/core/config.hpp"
#include "kivo/core/file_io.hpp"

extern char** environ;

namespace kivo::agent::e2e {

class AgentProcess {
 public:
  // `extra_environment` holds "NAME=value" entries added to the agent's
  // otherwise fixed environment (e.g. its DISPLAY); they take the place of
  // fixed entries of the same name.
  AgentProcess(const std::filesystem::path& root, const std::filesystem::path& home,
               std::filesystem::path stderr_path,
               const std::vector<std::string>& extra_environment = {})
      : stderr_path_(std::move(stderr_path)) {
    std::vector<std::string> environment = extra_environment;
    const std::string root_entry = "KIVO_SYSTEM_ROOT=" + root.string();
    const std::string home_entry = "HOME=" + home.string();
    for (const std::string* entry : {&root_entry, &home_entry, &kColorOff, &kDebugLog}) {
      if (!overridden(*entry, extra_environment)) environment.push_back(*entry);
    }
    std::vector<char*> env;
    for (std::string& entry : environment) env.push_back(entry.data());
    env.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderr_path_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::string binary = KIVO_AGENT_BINARY;
    char* argv[] = {binary.data(), nullptr};
    if (posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv, env.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }

  ~AgentProcess() {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
  }

  bool started() const { return pid_ > 0; }
  void signal(int number) const { ::kill(pid_, number); }

  // The exit status, or nothing when the agent is still running after `timeout`.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!status_) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status_;
  }

  std::string standard_error() const {
    auto text = read_text_file_if_present(stderr_path_);
    return text && *text ? **text : std::string();
  }

 private:
  inline static const std::string kColorOff = "NO_COLOR=1";
  inline static const std::string kDebugLog = "KIVO_LOG=debug";

  static bool overridden(const std::string& entry, const std::vector<std::string>& extra) {
    const std::string name = entry.substr(0, entry.find('=') + 1);
    return std::any_of(extra.begin(), extra.end(),
                       [&](const std::string& other) { return other.rfind(name, 0) == 0; });
  }

  std::filesystem::path stderr_path_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// The agent writes its log under the home folder of the password database,
// which tests cannot move: they read what was appended since they started.
class AgentLogTail {
 public:
  AgentLogTail() : path_(log_path()), start_(size_of(path_)) {}

  std::string appended() const {
    auto text = read_text_file_if_present(path_);
    if (!text || !*text) return {};
    const std::string& all = **text;
    return start_ <= all.size() ? all.substr(start_) : all;
  }

 private:
  static std::filesystem::path log_path() {
    auto dir = current_user_log_dir();
    return dir ? *dir / "agent.log" : std::filesystem::path();
  }
  static std::size_t size_of(const std::filesystem::path& path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    return error ? 0 : static_cast<std::size_t>(size);
  }

  std::filesystem::path path_;
  std::size_t start_;
};

}  // namespace kivo::agent::e2e
