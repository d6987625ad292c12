// The cost of a log call, and how fast the writer empties the queue.
//
// A log call must never wait for the disk: BM_LogCallWriterBlocked times each
// call while another process holds the flock of the log file, so the writer
// is stuck and every line stays queued. Percentiles come from timing every
// call on its own, the two clock reads included (counters p50_ns, p99_ns,
// p999_ns, max_ns). BM_WriterThroughput counts the lines per second that the
// writer puts into the file.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "kivo/core/log.hpp"
#include "kivo/core/logging.hpp"

namespace {

namespace fs = std::filesystem;
using kivo::log::field;
using kivo::log::LogFileOptions;
using kivo::log::LoggingGuard;
using kivo::log::LogSetup;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "kivo-log-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  fs::path file(const char* name) const { return path_ / name; }

 private:
  fs::path path_;
};

// Run as "bench_logging --hold-flock PATH": takes an exclusive flock on PATH,
// writes one byte to standard output, and holds the lock until standard
// input ends.
int hold_flock(const char* path) {
  const int fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0 || ::flock(fd, LOCK_EX) != 0) return 1;
  char byte = 1;
  if (::write(STDOUT_FILENO, &byte, 1) != 1) return 1;
  while (::read(STDIN_FILENO, &byte, 1) > 0) {
  }
  return 0;
}

// Another process that holds an exclusive flock on the file until released.
// It is this program run anew through posix_spawn, which shares the address
// space until the exec instead of copying it: after a fork, the first write
// to every page of the benchmark would fault (copy-on-write), and those
// faults would be timed as part of the log calls.
class ForeignFlock {
 public:
  explicit ForeignFlock(const fs::path& path) {
    int ready[2];
    int release[2];
    if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(release, O_CLOEXEC) != 0) std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, release[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, ready[1], STDOUT_FILENO);
    std::string program = "bench_logging";
    std::string flag = "--hold-flock";
    std::string path_text = path.string();
    char* const args[] = {program.data(), flag.data(), path_text.data(), nullptr};
    if (::posix_spawn(&child_, "/proc/self/exe", &actions, nullptr, args, environ) != 0) {
      std::abort();
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(ready[1]);
    ::close(release[0]);
    release_fd_ = release[1];
    char byte = 0;
    if (::read(ready[0], &byte, 1) != 1) std::abort();
    ::close(ready[0]);
  }
  ~ForeignFlock() { release(); }
  ForeignFlock(const ForeignFlock&) = delete;
  ForeignFlock& operator=(const ForeignFlock&) = delete;

  void release() {
    if (release_fd_ < 0) return;
    ::close(release_fd_);
    release_fd_ = -1;
    int status = 0;
    ::waitpid(child_, &status, 0);
  }

 private:
  pid_t child_ = -1;
  int release_fd_ = -1;
};

// The agent's own settings: styled lines, "kivo=info", the system clock.
LogSetup agent_setup() {
  LogSetup setup;
  setup.format.styled = true;
  return setup;
}

LoggingGuard start(const fs::path& path, const LogFileOptions& options) {
  auto guard = kivo::log::init_file_logging_with_options(path, options, agent_setup());
  if (!guard) {
    std::fprintf(stderr, "%s\n", guard.error().display().c_str());
    std::abort();
  }
  return std::move(guard).value();
}

// A typical event: about 150 bytes styled.
void log_one(std::uint64_t i) {
  KIVO_INFO("kivo_file", "file chunk acknowledged", field("route_id", 7),
            field("task_id", "send_0123456789abcdef0123456789abcdef"), field("offset", i));
}

void report_percentiles(benchmark::State& state, std::vector<std::int64_t>& nanos) {
  if (nanos.empty()) return;
  std::sort(nanos.begin(), nanos.end());
  const auto at = [&](double q) {
    const auto index = static_cast<std::size_t>(q * static_cast<double>(nanos.size() - 1));
    return static_cast<double>(nanos[index]);
  };
  state.counters["p50_ns"] = at(0.50);
  state.counters["p99_ns"] = at(0.99);
  state.counters["p999_ns"] = at(0.999);
  state.counters["max_ns"] = static_cast<double>(nanos.back());
}

void time_each_call(benchmark::State& state) {
  // Filled in advance, so that recording a time faults in no page.
  std::vector<std::int64_t> nanos(static_cast<std::size_t>(state.max_iterations), 0);
  std::size_t i = 0;
  for (auto _ : state) {
    const auto begin = std::chrono::steady_clock::now();
    log_one(i);
    const auto end = std::chrono::steady_clock::now();
    nanos[i++] = std::chrono::duration_cast<std::chrono::nanoseconds>(end - begin).count();
  }
  nanos.resize(i);
  report_percentiles(state, nanos);
}

// 25000 lines of ~150 bytes stay within the agent's 4 MiB queue, so every
// timed call really queues its line. A warm-up round through the writer
// first, as in an agent that has been running for a while.
constexpr int kBlockedCalls = 25000;

void BM_LogCallWriterBlocked(benchmark::State& state) {
  TempDir dir;
  const fs::path path = dir.file("agent.log");
  LoggingGuard guard = start(path, LogFileOptions{});
  for (int i = 0; i < kBlockedCalls; ++i) log_one(0);
  (void)guard.flush();

  ForeignFlock foreign(path);
  time_each_call(state);
  foreign.release();
  (void)guard.flush();
}
BENCHMARK(BM_LogCallWriterBlocked)->Iterations(kBlockedCalls)->Repetitions(5);

void BM_LogCallWriterRunning(benchmark::State& state) {
  TempDir dir;
  LoggingGuard guard = start(dir.file("agent.log"), LogFileOptions{});
  time_each_call(state);
  (void)guard.flush();
}
BENCHMARK(BM_LogCallWriterRunning)->Iterations(200000);

void BM_LogCallFilteredOut(benchmark::State& state) {
  TempDir dir;
  LoggingGuard guard = start(dir.file("agent.log"), LogFileOptions{});
  std::uint64_t i = 0;
  for (auto _ : state) {
    KIVO_DEBUG("kivo_file", "filtered out", field("offset", i++));
  }
}
BENCHMARK(BM_LogCallFilteredOut);

// Lines per second written by the writer: the queue is filled while the
// writer waits for the path's transaction lock, then the time from letting it
// go until a flush returns is measured. Argument: the file's cap in MiB (2 is
// the agent's, with a cut-down every MiB; 1024 never cuts).
void BM_WriterThroughput(benchmark::State& state) {
  constexpr int kLines = 200000;
  const auto cap_mib = static_cast<std::uint64_t>(state.range(0));
  double total_seconds = 0;
  double total_lines = 0;
  for (auto _ : state) {
    TempDir dir;
    LogFileOptions options;
    options.cap = cap_mib * 1024 * 1024;
    options.keep = options.cap / 2;
    options.queue = 256ULL * 1024 * 1024;
    LoggingGuard guard = start(dir.file("agent.log"), options);
    std::unique_lock transaction(*guard.sink().transaction_lock());
    for (int i = 0; i < kLines; ++i) log_one(static_cast<std::uint64_t>(i));

    const auto begin = std::chrono::steady_clock::now();
    transaction.unlock();
    (void)guard.flush();
    const auto end = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(end - begin).count();
    state.SetIterationTime(seconds);
    total_seconds += seconds;
    total_lines += kLines;
  }
  state.counters["lines_per_second"] = total_lines / total_seconds;
}
BENCHMARK(BM_WriterThroughput)
    ->Arg(2)
    ->Arg(1024)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string_view(argv[1]) == "--hold-flock") return hold_flock(argv[2]);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
