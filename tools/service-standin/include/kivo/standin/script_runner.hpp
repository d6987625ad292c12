// Runs a script against an agent: accept it, answer its hello, send the
// script's commands in order with its pauses and waits, then finish, and say
// whether the agent behaved.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "kivo/standin/script.hpp"
#include "kivo/standin/standin_service.hpp"

namespace kivo::standin {

// The longest the agent takes to answer anything (capture starts and the
// display list wait up to 10 s on the platform).
inline constexpr Millis kDefaultReplyTimeout{10'000};

struct RunOptions {
  bool refuse_hello = false;
  // After the script, wait for the link to end (the script sends "quit").
  bool until_quit = false;
  // The whole run, connecting included, ends after this long; requests then
  // still unanswered are not held against the agent. Without it the run ends
  // once the script is done and its replies are in (or kReplyTimeout passed).
  std::optional<Millis> run_for;
  // For the hello once connected, and for the replies after the script.
  Millis reply_timeout = kDefaultReplyTimeout;
  // How long to wait for the agent to connect; without it, until run_for
  // ends or for ever.
  std::optional<Millis> connect_timeout;
};

struct RunOutcome {
  bool hello_received = false;
  // run_for ran out, or the run was interrupted.
  bool cut_short = false;
  // Why the agent did not behave; empty when it did.
  std::vector<std::string> failures;

  bool behaved() const { return hello_received && failures.empty(); }
};

// Closes the link at the end. interrupt() on the service from another thread
// ends the run early.
RunOutcome run_script(StandinService& service, const Script& script, const RunOptions& options);

}  // namespace kivo::standin
