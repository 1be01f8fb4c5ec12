#include "core/interrupt.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <mutex>

namespace qvn::core {

namespace {

static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

std::atomic<int> g_signal{0};
// Self-pipe: a byte written by the handler makes the read end readable
// for good, which wakes every sleeper polling it at once.
int g_wake_read = -1;
std::atomic<int> g_wake_write{-1};
std::once_flag g_pipe_made;

void make_wake_pipe() {
  std::call_once(g_pipe_made, [] {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
    g_wake_read = fds[0];
    g_wake_write.store(fds[1]);
  });
}

// Async-signal-safe: atomics and write(2) only.
void wake_sleepers() {
  const int fd = g_wake_write.load();
  if (fd < 0) return;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
}

extern "C" void on_interrupt_signal(int signal) {
  const int saved_errno = errno;
  int none = 0;
  if (!g_signal.compare_exchange_strong(none, signal)) ::_exit(128 + signal);
  wake_sleepers();
  errno = saved_errno;
}

}  // namespace

void install_interrupt_handlers() {
  make_wake_pipe();
  struct sigaction action {};
  action.sa_handler = on_interrupt_signal;
  sigemptyset(&action.sa_mask);
  // Restarted system calls: an interrupted read or write in a library
  // carries on instead of failing with EINTR.
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

bool interrupted() { return g_signal.load() != 0; }

int interrupt_signal() { return g_signal.load(); }

int interrupted_exit_status() {
  const int signal = g_signal.load();
  return signal == 0 ? 0 : 128 + signal;
}

const char* interrupt_signal_name() {
  switch (g_signal.load()) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case 0:
      return "no signal";
    default:
      return "a signal";
  }
}

void request_interrupt(int signal) {
  make_wake_pipe();
  int none = 0;
  if (g_signal.compare_exchange_strong(none, signal)) wake_sleepers();
}

void reset_interrupt_for_testing() {
  make_wake_pipe();
  g_signal.store(0);
  char buffer[64];
  if (g_wake_read >= 0)
    while (::read(g_wake_read, buffer, sizeof buffer) > 0) {
    }
}

bool sleep_unless_interrupted(std::chrono::duration<double> duration) {
  make_wake_pipe();
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(duration);
  while (!interrupted()) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return true;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds);
    timespec timeout{static_cast<time_t>(seconds.count()), static_cast<long>(nanos.count())};
    pollfd wake{g_wake_read, POLLIN, 0};
    // A negative descriptor is ignored by ppoll: then this is a plain sleep.
    ::ppoll(&wake, 1, &timeout, nullptr);
  }
  return false;
}

}  // namespace qvn::core
