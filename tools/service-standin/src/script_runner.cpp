#include "kivo/standin/script_runner.hpp"

#include <fmt/format.h>

#include <algorithm>

namespace kivo::standin {
namespace {

using Clock = std::chrono::steady_clock;

// The run's clock: how long a step may wait, given the end of the whole run.
class RunClock {
 public:
  explicit RunClock(std::optional<Millis> run_for)
      : deadline_(run_for ? std::optional(Clock::now() + *run_for) : std::nullopt) {}

  // `timeout`, or less when the run ends sooner; none means "for ever".
  Millis budget(std::optional<Millis> timeout) const {
    Millis result = timeout.value_or(Millis::max());
    if (deadline_) {
      // Rounded up, so that a wait to the end of the run ends at or after it.
      result = std::min(result, std::chrono::ceil<Millis>(*deadline_ - Clock::now()));
    }
    return std::max(result, Millis(0));
  }
  bool over() const { return deadline_ && Clock::now() >= *deadline_; }

 private:
  std::optional<Clock::time_point> deadline_;
};

class Runner {
 public:
  Runner(StandinService& service, const RunOptions& options)
      : service_(service), options_(options), clock_(options.run_for) {}

  RunOutcome run(const Script& script) {
    if (start()) {
      if (options_.refuse_hello) {
        if (auto refused = service_.refuse_hello(); !refused) {
          failures_.push_back("cannot refuse the hello: " + refused.error().display());
        }
        service_.await_end(clock_.budget(options_.reply_timeout));
      } else {
        run_steps(script);
        finish();
      }
    }
    return conclude();
  }

 private:
  // Connects and reads the hello; false when the run cannot go on.
  bool start() {
    if (auto accepted = service_.accept_agent(clock_.budget(options_.connect_timeout)); !accepted) {
      note_cut_short();
      failures_.push_back("no hello: " + accepted.error().display());
      return false;
    }
    auto hello = service_.await_hello(clock_.budget(options_.reply_timeout));
    if (!hello) {
      note_cut_short();
      failures_.push_back("no hello: " + hello.error().display());
      return false;
    }
    outcome_.hello_received = true;
    if (options_.refuse_hello) return true;
    if (auto accepted = service_.accept_hello(); !accepted) {
      failures_.push_back("cannot answer the hello: " + accepted.error().display());
      return false;
    }
    return true;
  }

  void run_steps(const Script& script) {
    for (const ScriptStep& step : script) {
      if (note_cut_short()) return;
      if (service_.ended()) {
        if (!quit_sent_)
          failures_.push_back(fmt::format("the link ended before line {}", step.line));
        return;
      }
      std::visit([&](const auto& action) { perform(step.line, action); }, step.action);
    }
  }

  void perform(std::size_t line, const SendEnvelope& send) {
    if (std::holds_alternative<protocol::Quit>(send.envelope.message)) quit_sent_ = true;
    report_send(line, service_.send_envelope_text(send.text, send.envelope));
  }

  void perform(std::size_t line, const SendCommand& send) {
    protocol::ServiceToAgent command = send.command;
    if (send.fill_capture_epoch) {
      std::get<protocol::StopCapture>(command).capture_epoch = service_.capture_epoch();
    }
    if (std::holds_alternative<protocol::Quit>(command)) quit_sent_ = true;
    auto sent = service_.send_numbered(std::move(command));
    report_send(line, sent ? Result<void>() : Result<void>(fail(sent.error())));
  }

  void perform(std::size_t, const WaitFor& wait) {
    // Ends early with the link: there is nothing left to wait for.
    service_.await_end(clock_.budget(wait.duration));
  }

  void perform(std::size_t line, const AwaitDocument& await) {
    bool arrived = false;
    if (await.type == kAwaitReplies) {
      arrived = service_.await_replies(clock_.budget(await.timeout));
    } else {
      arrived =
          service_.await_document(await.type, &cursor_, clock_.budget(await.timeout)).has_value();
    }
    if (arrived || note_cut_short()) return;
    const std::string what = await.type == kAwaitReplies
                                 ? std::string("the replies")
                                 : fmt::format("a \"{}\" document", await.type);
    if (service_.ended()) {
      failures_.push_back(fmt::format("line {}: the link ended before {} came", line, what));
    } else {
      failures_.push_back(
          fmt::format("line {}: {} did not come within {} ms", line, what, await.timeout.count()));
    }
  }

  void report_send(std::size_t line, const Result<void>& sent) {
    if (!sent) failures_.push_back(fmt::format("line {}: {}", line, sent.error().display()));
  }

  void finish() {
    if (options_.until_quit || options_.run_for) {
      // The link's end, or the run's (cut short).
      service_.await_end(clock_.budget(std::nullopt));
    } else {
      service_.await_replies(clock_.budget(options_.reply_timeout));
    }
    note_cut_short();
  }

  RunOutcome conclude() {
    const bool ended_by_agent = service_.ended() && !service_.closed_locally();
    service_.close();
    if (ended_by_agent && !quit_sent_ && !options_.refuse_hello && outcome_.hello_received) {
      failures_.push_back("the agent ended the link without being asked to quit");
    }
    outcome_.failures = service_.violations();
    if (!outcome_.cut_short) {
      for (const UnansweredRequest& request : service_.unanswered()) {
        outcome_.failures.push_back(
            fmt::format("no reply to request {} (\"{}\")", request.request_id, request.command));
      }
    }
    outcome_.failures.insert(outcome_.failures.end(), failures_.begin(), failures_.end());
    return std::move(outcome_);
  }

  // Marks the run cut short when its time is up or it was interrupted.
  bool note_cut_short() {
    if (clock_.over() || service_.interrupted()) outcome_.cut_short = true;
    return outcome_.cut_short;
  }

  StandinService& service_;
  const RunOptions& options_;
  RunClock clock_;
  RunOutcome outcome_;
  std::vector<std::string> failures_;
  std::size_t cursor_ = 0;
  bool quit_sent_ = false;
};

}  // namespace

RunOutcome run_script(StandinService& service, const Script& script, const RunOptions& options) {
  for (const ScriptStep& step : script) {
    if (const auto* send = std::get_if<SendEnvelope>(&step.action);
        send && send->envelope.request_id) {
      service.reserve_request_id(*send->envelope.request_id);
    }
  }
  return Runner(service, options).run(script);
}

}  // namespace kivo::standin
