#include "kivo/input/input_error.hpp"

#include <gtest/gtest.h>

namespace kivo::input {
namespace {

TEST(InputErrorTest, TextsAndCodes) {
  struct Case {
    InputError error;
    std::string text;
    std::int64_t code;
  };
  const Case cases[] = {
      {InputError::unsupported_virtual_key(0x13), "unsupported virtual key: 0x0013", 1},
      {InputError::unsupported_virtual_key(0x1ff), "unsupported virtual key: 0x01ff", 1},
      {InputError::queue_overflow(), "input queue overflow", 2},
      {InputError::worker_stopped(), "input worker stopped", 3},
      {InputError::worker_start_failed("input worker initialization timed out"),
       "input worker failed to start: input worker initialization timed out", 4},
      {InputError::event_source_unavailable("input generation abandoned"),
       "input event source unavailable: input generation abandoned", 5},
      {InputError::event_creation_failed("scroll"), "failed to create scroll input event", 6},
      {InputError::worker_panicked(), "input worker panicked", 7},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error.text(), c.text);
    EXPECT_EQ(c.error.code(), c.code) << c.text;
  }
}

}  // namespace
}  // namespace kivo::input
