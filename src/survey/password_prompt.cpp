#include "survey/password_prompt.hpp"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace qvn::survey {

namespace {

class Terminal {
 public:
  Terminal() : fd_(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    if (fd_ < 0)
      throw std::runtime_error(std::string("no --controller_password or ") + kControllerPasswordVariable +
                               " given and no terminal to ask for the controller password");
  }
  ~Terminal() {
    if (echo_off_) ::tcsetattr(fd_, TCSAFLUSH, &saved_);
    ::close(fd_);
  }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  void write(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
      ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
  }

  void echoOff() {
    if (::tcgetattr(fd_, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    echo_off_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
  }

  std::string readLine() {
    std::string line;
    char c = 0;
    while (true) {
      ssize_t n = ::read(fd_, &c, 1);
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
  terminal.write(prompt);
  terminal.echoOff();
  std::string password = terminal.readLine();
  if (!terminal.echoWasOff()) terminal.write("\n");
  return password;
}

}  // namespace qvn::survey
