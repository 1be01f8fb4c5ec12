#include "core/interrupt.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <mutex>
#include <thread>

namespace qvn::core {

namespace {

static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

std::atomic<int> g_signal{0};
std::atomic<int> g_second_signal{0};
std::atomic<bool> g_ending_claimed{false};
std::atomic<bool> g_first_told{false};
// The notices' thread waits on this pipe: 1 for a first signal, 2 for a second.
std::atomic<int> g_notice_write{-1};
int g_notice_read = -1;
std::once_flag g_notice_thread_made;

struct Notices {
  std::timed_mutex lock;  // held while a notice is told, and while they change
  InterruptNotices current;
  bool set = false;
};

Notices& notices() {
  static Notices* all = new Notices();  // lives past exit: the thread may still use it
  return *all;
}
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

// Async-signal-safe.
bool tell_notice_thread(char what) {
  const int fd = g_notice_write.load();
  return fd >= 0 && ::write(fd, &what, 1) == 1;
}

extern "C" void on_interrupt_signal(int signal) {
  const int saved_errno = errno;
  int none = 0;
  if (g_signal.compare_exchange_strong(none, signal)) {
    wake_sleepers();
    tell_notice_thread(1);
    errno = saved_errno;
    return;
  }
  none = 0;
  if (!g_second_signal.compare_exchange_strong(none, signal) || !tell_notice_thread(2)) ::_exit(128 + signal);
  errno = saved_errno;
}

void tell_first() {
  Notices& all = notices();
  std::lock_guard<std::timed_mutex> hold(all.lock);
  if (!all.set || !all.current.first || g_signal.load() == 0 || g_first_told.exchange(true)) return;
  try {
    all.current.first();
  } catch (...) {
    // A notice that fails says nothing; the run goes on winding down.
  }
}

// The last words, then the end of the process: within kLastWordsLimit
// whatever they do.
[[noreturn]] void tell_second() {
  const int status = 128 + g_second_signal.load();
  std::thread([status] {
    std::this_thread::sleep_for(kLastWordsLimit);
    ::_exit(status);
  }).detach();
  // The run is writing its last lines itself: they are let end.
  if (!claim_run_ending()) std::this_thread::sleep_for(kLastWordsLimit);
  Notices& all = notices();
  std::unique_lock<std::timed_mutex> hold(all.lock, std::defer_lock);
  if (hold.try_lock_for(kLastWordsLimit / 4) && all.set && all.current.second) {
    try {
      all.current.second();
    } catch (...) {
      // Nothing more can be said.
    }
  }
  ::_exit(status);
}

void start_notice_thread() {
  std::call_once(g_notice_thread_made, [] {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    g_notice_read = fds[0];
    std::thread([] {
      for (;;) {
        char what = 0;
        const ssize_t n = ::read(g_notice_read, &what, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        if (what == 1) tell_first();
        if (what == 2) tell_second();
      }
    }).detach();
    g_notice_write.store(fds[1]);
  });
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

InterruptNoticesScope::InterruptNoticesScope(InterruptNotices given) {
  start_notice_thread();
  Notices& all = notices();
  std::lock_guard<std::timed_mutex> hold(all.lock);
  all.current = std::move(given);
  all.set = true;
}

InterruptNoticesScope::~InterruptNoticesScope() {
  Notices& all = notices();
  std::lock_guard<std::timed_mutex> hold(all.lock);
  all.current = {};
  all.set = false;
}

int second_interrupt_signal() { return g_second_signal.load(); }

std::string interruption_signals_text() {
  std::string text = interrupt_signal_name();
  const int second = g_second_signal.load();
  if (second == SIGINT) text += ", then SIGINT";
  if (second == SIGTERM) text += ", then SIGTERM";
  if (second != 0 && second != SIGINT && second != SIGTERM) text += ", then a signal";
  if (second != 0) text += " (calls in flight abandoned)";
  return text;
}

bool claim_run_ending() { return !g_ending_claimed.exchange(true); }

void tell_first_interrupt_notice() { tell_first(); }

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
  g_second_signal.store(0);
  g_ending_claimed.store(false);
  g_first_told.store(false);
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
