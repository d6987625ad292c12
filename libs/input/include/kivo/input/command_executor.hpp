// CommandExecutor: runs the worker's commands against the desktop, keeping
// the generation's model of the remote pointer, buttons and keys, so that
// each posted event carries the right type, click count and modifier flags
// and so that everything pressed can be released again.
#pragma once

#include <atomic>
#include <memory>

#include "kivo/input/input_clock.hpp"
#include "kivo/input/posting_step.hpp"
#include "kivo/input/worker_command.hpp"
#include "kivo/input/worker_state.hpp"

namespace kivo::input {

class CommandExecutor {
 public:
  // `release_all_buttons` (may be null) is set by the injector when a
  // generation ended without releasing what it held (abandoned or crashed):
  // the desktop may still believe buttons are down that no later generation
  // knows of. The next Reset then releases all five buttons and, once those
  // releases went out, clears the flag.
  CommandExecutor(PostingStep posting, const InputClock& clock,
                  std::shared_ptr<std::atomic<bool>> release_all_buttons = nullptr);

  // Runs one command to its end or to its first error. Reset runs the
  // release-everything procedure without an abandoned flag.
  PostResult execute(const WorkerCommand& command);

  // Releases every held button, every held key and the eight modifier keys
  // (54, 55, 56, 58..62) whether held or not, then forgets all state. Goes on
  // past errors and returns the first. When `abandoned` is set before a
  // button or key, stops posting at once; the state is forgotten all the
  // same.
  PostResult release_everything(const std::atomic<bool>* abandoned);

  // Forgets all state without posting anything.
  void forget_held();

  const PointerState& pointer() const { return pointer_; }
  const PressedKeys& pressed_keys() const { return keys_; }

 private:
  PostResult move(GlobalPoint point);
  PostResult move_relative(const command::MoveRelative& command);
  PostResult button(const command::Button& command);
  PostResult double_click(const command::DoubleClick& command);
  PostResult wheel(const command::Wheel& command);
  PostResult key(const command::Key& command);
  PostResult release(const std::atomic<bool>* abandoned, bool every_button);

  PostingStep posting_;
  const InputClock& clock_;
  std::shared_ptr<std::atomic<bool>> release_all_buttons_;
  PointerState pointer_;
  PressedKeys keys_;
};

}  // namespace kivo::input
