// kivo-service-standin: the privileged service's side of the link, driven by
// a script of JSON lines. See --help and the README beside this file.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kivo/core/config.hpp"
#include "kivo/standin/command_line.hpp"
#include "kivo/standin/media_recorder.hpp"
#include "kivo/standin/output_lines.hpp"
#include "kivo/standin/script.hpp"
#include "kivo/standin/script_runner.hpp"
#include "kivo/standin/standin_service.hpp"

namespace {

using namespace kivo::standin;

constexpr int kBehaved = 0;
constexpr int kMisbehaved = 1;
constexpr int kUsage = 2;

void complain(const std::string& text) {
  std::fprintf(stderr, "kivo-service-standin: %s\n", text.c_str());
}

// Standard output is shared by the link's thread and the socket readers.
class LinePrinter {
 public:
  void print(const std::string& line) {
    std::lock_guard lock(mutex_);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }

 private:
  std::mutex mutex_;
};

std::optional<std::string> read_script(const std::optional<std::filesystem::path>& path) {
  if (!path || *path == "-") {
    return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  }
  std::ifstream file(*path, std::ios::binary);
  if (!file) return std::nullopt;
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// Turns SIGINT and SIGTERM into an interrupt of the run. The signals are
// blocked in every thread and taken here; SIGUSR1 only wakes it to end.
class SignalWatch {
 public:
  SignalWatch() {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    sigaddset(&signals_, SIGUSR1);
    ::pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
  }
  ~SignalWatch() {
    if (thread_.joinable()) {
      ::pthread_kill(thread_.native_handle(), SIGUSR1);
      thread_.join();
    }
  }
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

  void start(StandinService& service) {
    thread_ = std::thread([this, &service] {
      int signal = 0;
      if (::sigwait(&signals_, &signal) == 0 && signal != SIGUSR1) service.interrupt();
    });
  }

 private:
  sigset_t signals_{};
  std::thread thread_;
};

int run(const CommandLine& line) {
  const std::optional<std::string> text = read_script(line.script);
  if (!text) {
    complain("cannot read " + line.script->string());
    return kUsage;
  }
  auto script = parse_script(*text);
  if (!script) {
    std::fprintf(stderr, "%s\n", script.error().text().c_str());
    return kUsage;
  }
  auto recorder = MediaRecorder::open(line.video_out, line.audio_out);
  if (!recorder) {
    complain(recorder.error().display());
    return kUsage;
  }

  SignalWatch signals;  // before any thread starts, so that all inherit the mask
  LinePrinter printer;
  std::mutex record_mutex;
  std::optional<kivo::KivoError> record_error;

  StandinOptions options;
  options.root = line.root.value_or(kivo::system_root());
  options.generation = line.generation;
  options.on_hello = [&](const std::string& raw,
                         const kivo::Result<kivo::protocol::HelloRequest>& hello) {
    printer.print(document_line(raw, hello ? std::string() : hello.error().display()));
  };
  options.on_document = [&](const AgentDocument& document) {
    printer.print(document_line(document));
  };
  options.on_media_frame = [&](const kivo::protocol::MediaFrame& frame) {
    if (line.frames) printer.print(frame_line(frame));
    if (auto recorded = recorder->record(frame); !recorded) {
      std::lock_guard lock(record_mutex);
      if (!record_error) record_error = recorded.error();
    }
  };
  options.on_bulk_frame = [&](const kivo::protocol::BulkFrame& frame) {
    if (line.frames) printer.print(frame_line(frame));
  };

  auto service = StandinService::listen(std::move(options));
  if (!service) {
    complain("cannot listen: " + service.error().display());
    return kUsage;
  }
  signals.start(**service);

  RunOptions run_options;
  run_options.refuse_hello = line.refuse_hello;
  run_options.until_quit = line.until_quit;
  if (line.seconds) run_options.run_for = std::chrono::seconds(*line.seconds);
  const RunOutcome outcome = run_script(**service, *script, run_options);

  auto finished = recorder->finish();
  if (record_error || !finished) {
    complain(record_error ? record_error->display() : finished.error().display());
    return kUsage;
  }
  if (!outcome.behaved()) {
    for (const std::string& reason : outcome.failures) complain(reason);
    return kMisbehaved;
  }
  return kBehaved;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  auto line = parse_command_line(args);
  if (!line) {
    complain(line.error());
    std::fprintf(stderr, "(see kivo-service-standin --help)\n");
    return kUsage;
  }
  if (line->help) {
    std::fwrite(usage_text().data(), 1, usage_text().size(), stdout);
    return kBehaved;
  }
  return run(*line);
}
