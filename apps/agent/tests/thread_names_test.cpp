#include "thread_names.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <array>
#include <string>

namespace kivo::agent {
namespace {

std::string current_os_name() {
  std::array<char, 32> name{};
  EXPECT_EQ(::pthread_getname_np(::pthread_self(), name.data(), name.size()), 0);
  return name.data();
}

TEST(ThreadNamesTest, SpawnedThreadCarriesTheShortNameOfItsFullName) {
  std::string seen;
  auto thread = spawn_named_thread(kBulkWriterThread, [&] { seen = current_os_name(); });
  ASSERT_TRUE(thread);
  thread->join();
  EXPECT_EQ(seen, "kivo-bulk-write");
}

TEST(ThreadNamesTest, NameMissingFromTheTableIsCutToWhatLinuxKeeps) {
  EXPECT_EQ(os_thread_name("kivo-some-future-thread"), "kivo-some-futur");
  EXPECT_EQ(os_thread_name("short"), "short");
}

TEST(ThreadNamesTest, EscapingExceptionEndsOnlyTheThread) {
  auto thread = spawn_named_thread(kBulkReaderThread, [] { throw std::runtime_error("boom"); });
  ASSERT_TRUE(thread);
  thread->join();
}

}  // namespace
}  // namespace kivo::agent
