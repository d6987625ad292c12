#include "kivo/xpc/message.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace kivo::xpc {
namespace {

TEST(MessageTest, AccessorsAnswerOnlyForTheirOwnType) {
  auto [read_end, write_end] = testing::make_pipe();
  Message message;
  message.set_uint64("n", 5);
  message.set_data("d", std::string_view("x"));
  message.set_fd("f", std::move(write_end));

  EXPECT_EQ(message.uint64("n"), 5u);
  EXPECT_FALSE(message.uint64("d"));
  EXPECT_FALSE(message.uint64("missing"));
  EXPECT_FALSE(message.data("n"));
  EXPECT_FALSE(message.dup_fd("n").valid());
  EXPECT_FALSE(message.dup_fd("missing").valid());
  EXPECT_EQ(message.type_of("f"), ValueType::kDescriptor);
  EXPECT_FALSE(message.type_of("missing"));
}

TEST(MessageTest, DupFdGivesTheCallerItsOwnDescriptor) {
  auto [read_end, write_end] = testing::make_pipe();
  UniqueFd taken;
  {
    Message message;
    message.set_fd("f", std::move(write_end));
    taken = message.dup_fd("f");
    ASSERT_TRUE(taken.valid());
    EXPECT_EQ(::fcntl(taken.get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  }
  // The message closed its copy; the caller's copy still writes into the pipe.
  ASSERT_EQ(::write(taken.get(), "z", 1), 1);
  char byte = 0;
  EXPECT_EQ(::read(read_end.get(), &byte, 1), 1);
  taken.reset();
  EXPECT_TRUE(testing::all_writers_closed(read_end.get()));
}

TEST(MessageTest, ReplacingADescriptorClosesTheOldOne) {
  auto [read_end, write_end] = testing::make_pipe();
  Message message;
  message.set_fd("f", std::move(write_end));
  message.set_uint64("f", 1);
  EXPECT_TRUE(testing::all_writers_closed(read_end.get()));
}

}  // namespace
}  // namespace kivo::xpc
