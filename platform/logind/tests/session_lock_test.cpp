#include "kivo/logind/session_lock.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kivo/testing/temp_dir.hpp"

namespace kivo::logind {
namespace {

using namespace std::chrono_literals;
using kivo::testing::ScopedEnv;
using kivo::testing::TempDir;

// A listening Unix socket at `path`; -1 on failure.
int listen_at(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 4) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// A stand-in for the system bus with logind on it: it takes one client,
// answers its Hello as the bus would, and answers LockSession itself, for
// session "3" only.
class FakeLogind {
 public:
  enum class Mode { kAnswer, kHangUp };

  FakeLogind(const std::string& path, Mode mode) : listener_(listen_at(path)), mode_(mode) {
    thread_ = std::thread([this] { serve(); });
  }
  ~FakeLogind() {
    stop_ = true;
    thread_.join();
    if (listener_ >= 0) ::close(listener_);
  }

  bool listening() const { return listener_ >= 0; }
  std::vector<std::string> locked() {
    std::lock_guard lock(mutex_);
    return locked_;
  }

 private:
  void serve() {
    pollfd entry{listener_, POLLIN, 0};
    while (!stop_ && ::poll(&entry, 1, 20) == 0) {
    }
    if (stop_ || listener_ < 0) return;
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    sd_bus* bus = nullptr;
    sd_id128_t id{};
    std::memset(id.bytes, 0x42, sizeof id.bytes);
    if (sd_bus_new(&bus) < 0 || sd_bus_set_fd(bus, fd, fd) < 0 ||
        sd_bus_set_server(bus, 1, id) < 0 ||
        sd_bus_add_filter(bus, nullptr, &FakeLogind::on_message, this) < 0 ||
        sd_bus_start(bus) < 0) {
      sd_bus_close_unref(bus);
      return;
    }
    while (!stop_ && !hung_up_) {
      const int processed = sd_bus_process(bus, nullptr);
      if (processed < 0) break;
      if (processed == 0) sd_bus_wait(bus, 20'000);
    }
    sd_bus_close_unref(bus);
  }

  static int on_message(sd_bus_message* message, void* userdata, sd_bus_error* /*unused*/) {
    auto* self = static_cast<FakeLogind*>(userdata);
    if (sd_bus_message_is_method_call(message, "org.freedesktop.DBus", "Hello") > 0) {
      sd_bus_reply_method_return(message, "s", ":1.42");
      return 1;
    }
    if (sd_bus_message_is_method_call(message, "org.freedesktop.login1.Manager", "LockSession") <=
        0) {
      return 0;
    }
    if (self->mode_ == Mode::kHangUp) {
      self->hung_up_ = true;
      return 1;
    }
    const char* session = nullptr;
    sd_bus_message_read(message, "s", &session);
    const std::string id = session != nullptr ? session : "";
    if (id != "3") {
      sd_bus_reply_method_errorf(message, "org.freedesktop.login1.NoSuchSession",
                                 "No session '%s' known", id.c_str());
      return 1;
    }
    {
      std::lock_guard lock(self->mutex_);
      self->locked_.push_back(id);
    }
    sd_bus_reply_method_return(message, nullptr);
    return 1;
  }

  int listener_;
  Mode mode_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> hung_up_{false};
  std::mutex mutex_;
  std::vector<std::string> locked_;
  std::thread thread_;
};

class SessionLockTest : public ::testing::Test {
 protected:
  std::string socket_path() const { return (dir_ / "system_bus_socket").string(); }
  ScopedEnv use_bus() const {
    return ScopedEnv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + socket_path()).c_str());
  }

  TempDir dir_;
};

TEST_F(SessionLockTest, LogindLocksTheSessionItIsAskedFor) {
  FakeLogind logind(socket_path(), FakeLogind::Mode::kAnswer);
  ASSERT_TRUE(logind.listening());
  const ScopedEnv bus = use_bus();
  const Result<void> locked = lock_session("3");
  ASSERT_TRUE(locked) << locked.error().display();
  EXPECT_EQ(logind.locked(), std::vector<std::string>{"3"});
}

TEST_F(SessionLockTest, LogindsRefusalIsTheError) {
  FakeLogind logind(socket_path(), FakeLogind::Mode::kAnswer);
  ASSERT_TRUE(logind.listening());
  const ScopedEnv bus = use_bus();
  const Result<void> locked = lock_session("c9");
  ASSERT_FALSE(locked);
  EXPECT_EQ(locked.error().display(),
            "invalid message: LockSession failed: org.freedesktop.login1.NoSuchSession: "
            "No session 'c9' known");
  EXPECT_TRUE(logind.locked().empty());
}

TEST_F(SessionLockTest, ABusThatHangsUpIsAnError) {
  FakeLogind logind(socket_path(), FakeLogind::Mode::kHangUp);
  ASSERT_TRUE(logind.listening());
  const ScopedEnv bus = use_bus();
  const Result<void> locked = lock_session("3");
  ASSERT_FALSE(locked);
  // sd-bus ends the pending call itself when the connection goes.
  EXPECT_TRUE(locked.error().display().starts_with(
      "invalid message: LockSession failed: org.freedesktop.DBus.Error.NoReply"))
      << locked.error().display();
}

TEST_F(SessionLockTest, NoBusFailsAtOnce) {
  const ScopedEnv bus = use_bus();  // nothing listens there
  const Result<void> locked = lock_session("3");
  ASSERT_FALSE(locked);
  EXPECT_EQ(locked.error().display(),
            "invalid message: cannot connect to the system bus: No such file or directory");
}

TEST_F(SessionLockTest, ASilentBusIsGivenUpAfterTheTimeout) {
  // Connections are accepted by the kernel and never answered.
  const int listener = listen_at(socket_path());
  ASSERT_GE(listener, 0);
  const ScopedEnv bus = use_bus();
  const Result<void> locked = lock_session("3", 30ms);
  ::close(listener);
  ASSERT_FALSE(locked);
  EXPECT_EQ(locked.error().display(), "invalid message: no answer to LockSession within 30 ms");
}

TEST(LockOwnSessionTest, FailsWithoutALoginSession) {
  char* session = nullptr;
  if (sd_pid_get_session(0, &session) >= 0) {
    std::free(session);
    GTEST_SKIP() << "this process has a login session, which the test must not lock";
  }
  const Result<void> locked = lock_own_session();
  ASSERT_FALSE(locked);
  EXPECT_EQ(locked.error().display(), "invalid message: no login session for this process");
}

}  // namespace
}  // namespace kivo::logind
