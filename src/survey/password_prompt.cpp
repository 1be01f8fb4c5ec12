#include "survey/password_prompt.hpp"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <stdexcept>

namespace qvn::survey {

namespace {

// The signals that end a program waiting at the prompt. While echo is off,
// each of them first gives the terminal its settings back, then takes its
// earlier course (for most, the end of the process).
constexpr std::array<int, 4> kEndingSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// What the signal handler restores: written before the handlers are
// installed, read only by them.
int g_quiet_fd = -1;
termios g_saved{};
std::array<struct sigaction, kEndingSignals.size()> g_previous{};

// Async-signal-safe: tcsetattr, sigaction and raise only.
extern "C" void restoreTerminalAndResignal(int signal) {
  ::tcsetattr(g_quiet_fd, TCSANOW, &g_saved);
  for (std::size_t i = 0; i < kEndingSignals.size(); ++i)
    if (kEndingSignals[i] == signal) ::sigaction(signal, &g_previous[i], nullptr);
  // Blocked until this handler returns, then delivered with the earlier disposition.
  ::raise(signal);
}

class Terminal {
 public:
  Terminal() : fd_(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    if (fd_ < 0)
      throw std::runtime_error(std::string("no --controller_password or ") + kControllerPasswordVariable +
                               " given and no terminal to ask for the controller password");
  }
  ~Terminal() {
    if (echo_off_) {
      ::tcsetattr(fd_, TCSANOW, &saved_);
      for (std::size_t i = 0; i < kEndingSignals.size(); ++i) ::sigaction(kEndingSignals[i], &g_previous[i], nullptr);
    }
    ::close(fd_);
  }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  void write(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
      ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
  }

  // Echo goes off before the prompt is written, without flushing input: an
  // answer typed the moment the prompt appears is neither shown nor lost.
  void echoOff() {
    if (::tcgetattr(fd_, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    g_quiet_fd = fd_;
    g_saved = saved_;
    struct sigaction restore {};
    restore.sa_handler = restoreTerminalAndResignal;
    sigemptyset(&restore.sa_mask);
    for (std::size_t i = 0; i < kEndingSignals.size(); ++i)
      ::sigaction(kEndingSignals[i], &restore, &g_previous[i]);
    echo_off_ = ::tcsetattr(fd_, TCSANOW, &quiet) == 0;
    if (!echo_off_)
      for (std::size_t i = 0; i < kEndingSignals.size(); ++i) ::sigaction(kEndingSignals[i], &g_previous[i], nullptr);
  }

  // A signal whose earlier handler lets the process go on ends the read
  // (the handler above restarts nothing).
  std::string readLine() {
    std::string line;
    char c = 0;
    while (true) {
      ssize_t n = ::read(fd_, &c, 1);
      if (n < 0 && errno == EINTR) throw std::runtime_error("reading the password from the terminal was interrupted");
      if (n < 0) throw std::runtime_error("cannot read the password from the terminal");
      if (n == 0 || c == '\n') break;
      line += c;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
  }

  bool echoWasOff() const { return echo_off_; }

 private:
  int fd_;
  termios saved_{};
  bool echo_off_ = false;
};

}  // namespace

std::string controllerPassword(const std::optional<std::string>& option, const std::function<std::string()>& prompt) {
  if (option && !option->empty()) return *option;
  const char* variable = std::getenv(kControllerPasswordVariable);
  if (variable != nullptr && *variable != '\0') return variable;
  return prompt();
}

std::string readPasswordFromTerminal(const std::string& prompt) {
  Terminal terminal;
  terminal.echoOff();
  terminal.write(prompt);
  std::string password = terminal.readLine();
  if (!terminal.echoWasOff()) terminal.write("\n");
  return password;
}

}  // namespace qvn::survey
