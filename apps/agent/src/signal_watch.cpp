#include "signal_watch.hpp"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

namespace kivo::agent {
namespace {

Result<xpc::UniqueFd> listen_for(int signal_number) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal_number);
  xpc::UniqueFd fd(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!fd) return fail(KivoError::io_errno(errno));
  return fd;
}

}  // namespace

void block_shutdown_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

Expected<ShutdownSignals, AgentFailure> listen_for_shutdown_signals() {
  auto terminate = listen_for(SIGTERM);
  if (!terminate)
    return fail(AgentFailure(terminate.error()).context("failed to listen for SIGTERM"));
  auto interrupt = listen_for(SIGINT);
  if (!interrupt)
    return fail(AgentFailure(interrupt.error()).context("failed to listen for ctrl-c"));
  return ShutdownSignals{.terminate = std::move(*terminate), .interrupt = std::move(*interrupt)};
}

void consume_signal(int fd) {
  signalfd_siginfo info{};
  ssize_t got = 0;
  do {
    got = ::read(fd, &info, sizeof info);
  } while (got < 0 && errno == EINTR);
}

}  // namespace kivo::agent
