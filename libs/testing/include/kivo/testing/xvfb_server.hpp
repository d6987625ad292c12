// A private X server (Xvfb) for tests that need a real display: started on a
// display number the server picks itself, stoppable, killable (to play a
// crashed window server) and restartable on the same number.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace kivo::testing {

class XvfbServer {
 public:
  struct Options {
    // Width x height x depth of screen 0.
    std::string screen = "1280x720x24";
    // Appended to the command line after the defaults.
    std::vector<std::string> extra_arguments;
    // Bounds every wait: for the server to accept, and for it to exit.
    std::chrono::milliseconds timeout{10'000};
  };

  // Whether an Xvfb executable is on PATH; tests skip themselves without one.
  static bool available() { return !find_executable("Xvfb").empty(); }

  XvfbServer() : XvfbServer(Options{}) {}
  explicit XvfbServer(Options options) : options_(std::move(options)) {}
  ~XvfbServer() {
    stop();
    remove_stale_files();
  }
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  // Starts the server and returns once it accepts connections. The first
  // start lets the server choose a free display number; later starts reuse
  // that number. On failure returns false and last_error() says why.
  // The server is killed when the calling thread ends: start it from the
  // test's own thread, not from a short-lived helper thread.
  bool start() {
    if (pid_ > 0) return fail("the server is already running");
    if (display_number_) return launch();
    // A random number well above the ones servers pick first: a number this
    // server gives up for a moment (to test a restart) is then not taken by
    // a test running beside it.
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> pick(200, 30000);
    for (int attempt = 0; attempt < 8; ++attempt) {
      const int number = pick(random);
      if (std::filesystem::exists("/tmp/.X" + std::to_string(number) + "-lock")) continue;
      display_number_ = number;
      if (launch()) return true;
      display_number_.reset();
    }
    return false;
  }

 private:
  bool launch() {
    const std::string executable = find_executable("Xvfb");
    if (executable.empty()) return fail("Xvfb is not installed");

    int ready_pipe[2];
    if (::pipe2(ready_pipe, O_CLOEXEC) != 0) return fail_errno("pipe2");
    const int read_end = ready_pipe[0];
    const int write_end = ready_pipe[1];

    std::vector<std::string> args{executable};
    if (display_number_) args.push_back(display_name());
    args.emplace_back("-displayfd");
    args.push_back(std::to_string(write_end));
    for (std::string_view arg : {"-screen", "0"}) args.emplace_back(arg);
    args.push_back(options_.screen);
    for (std::string_view arg : {"-nolisten", "tcp", "-noreset"}) args.emplace_back(arg);
    for (std::string_view name : {"MIT-SHM", "DAMAGE", "RANDR", "XTEST", "XFIXES"}) {
      args.emplace_back("+extension");
      args.emplace_back(name);
    }
    args.insert(args.end(), options_.extra_arguments.begin(), options_.extra_arguments.end());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
      const int error = errno;
      ::close(read_end);
      ::close(write_end);
      return fail(std::string("fork: ") + std::strerror(error));
    }
    if (pid == 0) {
      // Only async-signal-safe calls until exec. The server dies with the
      // thread that started it, so a crashed test leaves no server behind.
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(127);
      ::fcntl(write_end, F_SETFD, 0);
      const int null_fd = ::open("/dev/null", O_RDWR);
      if (null_fd >= 0) {
        ::dup2(null_fd, STDIN_FILENO);
        ::dup2(null_fd, STDOUT_FILENO);
        ::dup2(null_fd, STDERR_FILENO);
      }
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(write_end);
    pid_ = pid;
    last_pid_ = pid;

    const std::optional<int> number = read_display_number(read_end);
    ::close(read_end);
    if (!number) {
      kill();
      return false;
    }
    if (display_number_ && *display_number_ != *number) {
      kill();
      return fail("the server took display :" + std::to_string(*number) +
                  " instead of :" + std::to_string(*display_number_));
    }
    display_number_ = *number;
    if (!wait_until_accepting()) {
      kill();
      return false;
    }
    return true;
  }

 public:
  // Asks the server to exit (SIGTERM) and reaps it; a server that outlives
  // the time-out is killed.
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    if (!reap_within(options_.timeout)) kill();
  }

  // Kills the server at once (SIGKILL), as a crash would, and reaps it.
  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }

  // Whether the server process is still alive (reaping it if it has died).
  bool running() {
    if (pid_ <= 0) return false;
    int status = 0;
    const pid_t reaped = ::waitpid(pid_, &status, WNOHANG);
    if (reaped == pid_ || (reaped < 0 && errno == ECHILD)) pid_ = -1;
    return pid_ > 0;
  }

  // ":N" once the server has started at least once; empty before.
  std::string display_name() const {
    // Appended rather than concatenated: gcc 12 at -O3 warns falsely
    // (-Wrestrict) about the temporary of ":" + std::to_string().
    std::string name;
    if (display_number_) name.append(":").append(std::to_string(*display_number_));
    return name;
  }
  std::optional<int> display_number() const { return display_number_; }
  pid_t pid() const { return pid_; }
  const std::string& last_error() const { return last_error_; }

 private:
  static std::string find_executable(std::string_view name) {
    const char* path = std::getenv("PATH");
    std::string_view dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    while (!dirs.empty()) {
      const std::size_t colon = dirs.find(':');
      std::string candidate(dirs.substr(0, colon));
      dirs = colon == std::string_view::npos ? std::string_view() : dirs.substr(colon + 1);
      if (candidate.empty()) continue;
      candidate.append("/").append(name);
      if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
  }

  using Clock = std::chrono::steady_clock;

  static int remaining_ms(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
  }

  // The server writes its display number and a newline once it accepts
  // connections; end of file means it exited first.
  std::optional<int> read_display_number(int fd) {
    const Clock::time_point deadline = Clock::now() + options_.timeout;
    std::string text;
    while (text.find('\n') == std::string::npos) {
      pollfd entry{fd, POLLIN, 0};
      const int ready = ::poll(&entry, 1, remaining_ms(deadline));
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) {
        fail_errno("poll");
        return std::nullopt;
      }
      if (ready == 0) {
        fail("Xvfb did not report a display in time");
        return std::nullopt;
      }
      char buffer[32];
      const ssize_t got = ::read(fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        fail("Xvfb exited before it accepted connections");
        return std::nullopt;
      }
      text.append(buffer, static_cast<std::size_t>(got));
    }
    char* end = nullptr;
    const long number = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || number < 0 || number > 65535) {
      fail("Xvfb reported an unreadable display: " + text);
      return std::nullopt;
    }
    return static_cast<int>(number);
  }

  // Confirms that the display's socket takes a connection.
  bool wait_until_accepting() {
    const Clock::time_point deadline = Clock::now() + options_.timeout;
    const std::string path = socket_path();
    while (!accepts(path)) {
      if (!running()) return fail("Xvfb exited before it accepted connections");
      if (Clock::now() >= deadline) return fail("Xvfb did not accept connections in time");
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  // A killed server leaves its socket file behind. It goes unless another
  // server has taken the number since and listens on it.
  void remove_stale_files() {
    if (!display_number_ || last_pid_ <= 0) return;
    const std::string path = socket_path();
    if (!std::filesystem::exists(path) || accepts(path)) return;
    ::unlink(path.c_str());
  }

  std::string socket_path() const { return "/tmp/.X11-unix/X" + std::to_string(*display_number_); }

  static bool accepts(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const int connected =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::close(fd);
    return connected == 0;
  }

  bool reap_within(std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    while (running()) {
      if (Clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  bool fail(std::string text) {
    last_error_ = std::move(text);
    return false;
  }
  bool fail_errno(const char* call) {
    return fail(std::string(call) + ": " + std::strerror(errno));
  }

  Options options_;
  pid_t pid_ = -1;
  pid_t last_pid_ = -1;
  std::optional<int> display_number_;
  std::string last_error_;
};

}  // namespace kivo::testing
