#include "cli/terminal.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>

#include "client/errors.h"

namespace cli {

using client::failure;

namespace {

// The signals after which the process must not leave echo switched off: it
// ends or stops.
constexpr int watched_signals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGTSTP};
constexpr std::size_t watched_count = std::size(watched_signals);

volatile std::sig_atomic_t caught_signal = 0;

extern "C" void note_signal(int number) { caught_signal = number; }

failure terminal_failure(const std::string& action) {
  return failure("cannot " + action + " the terminal: " + std::strerror(errno));
}

// While it lives, the watched signals are caught by note_signal and blocked
// except while wait_for_line waits, so that one cannot slip in between a
// check and the wait. The previous handlers and mask come back when it ends;
// a signal that came meanwhile is then delivered as it would have been.
class watched_signal_guard {
 public:
  watched_signal_guard() {
    caught_signal = 0;
    struct sigaction catcher {};
    catcher.sa_handler = note_signal;
    sigemptyset(&catcher.sa_mask);
    sigset_t watched;
    sigemptyset(&watched);
    for (std::size_t i = 0; i < watched_count; ++i) {
      ::sigaction(watched_signals[i], &catcher, &previous_[i]);
      sigaddset(&watched, watched_signals[i]);
    }
    ::sigprocmask(SIG_BLOCK, &watched, &previous_mask_);
  }
  ~watched_signal_guard() {
    for (std::size_t i = 0; i < watched_count; ++i)
      ::sigaction(watched_signals[i], &previous_[i], nullptr);
    ::sigprocmask(SIG_SETMASK, &previous_mask_, nullptr);
  }
  watched_signal_guard(const watched_signal_guard&) = delete;
  watched_signal_guard& operator=(const watched_signal_guard&) = delete;

  // The mask to wait under: the one the process had before.
  const sigset_t& waiting_mask() const { return previous_mask_; }

 private:
  struct sigaction previous_[watched_count];
  sigset_t previous_mask_;
};

// Switches echo off on a terminal for its lifetime. Input typed before is
// discarded: it was shown.
class echo_off {
 public:
  explicit echo_off(int descriptor) : descriptor_(descriptor) {
    if (::tcgetattr(descriptor_, &saved_) != 0)
      throw terminal_failure("read the settings of");
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
    quiet.c_lflag |= ICANON;
    if (::tcsetattr(descriptor_, TCSAFLUSH, &quiet) != 0)
      throw terminal_failure("switch off echo on");
  }
  ~echo_off() { ::tcsetattr(descriptor_, TCSAFLUSH, &saved_); }
  echo_off(const echo_off&) = delete;
  echo_off& operator=(const echo_off&) = delete;

 private:
  int descriptor_;
  termios saved_;
};

enum class line_end { line_feed, end_of_input, signal };

// Appends what the terminal gives to `line` up to its line feed, which is
// dropped. A terminal in canonical mode hands over whole lines, so the
// reads stop there.
line_end wait_for_line(int descriptor, const sigset_t& waiting_mask,
                       std::size_t max_bytes, std::string& line) {
  for (;;) {
    pollfd entry{descriptor, POLLIN, 0};
    if (::ppoll(&entry, 1, nullptr, &waiting_mask) < 0) {
      if (errno != EINTR) throw terminal_failure("wait for");
      if (caught_signal != 0) return line_end::signal;
      continue;
    }
    char chunk[4096];
    const ssize_t count = ::read(descriptor, chunk, sizeof chunk);
    if (count < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      throw terminal_failure("read");
    }
    if (count == 0) return line_end::end_of_input;
    line.append(chunk, static_cast<std::size_t>(count));
    const bool whole = line.back() == '\n';
    if (whole) line.pop_back();
    if (line.size() > max_bytes)
      throw failure("the line typed is longer than " +
                    std::to_string(max_bytes) + " bytes");
    if (whole) return line_end::line_feed;
  }
}

}  // namespace

bool is_terminal(int descriptor) { return ::isatty(descriptor) == 1; }

std::optional<std::string> read_unechoed_line(int descriptor,
                                              std::string_view prompt,
                                              std::size_t max_bytes) {
  for (;;) {
    int signal_number = 0;
    {
      const watched_signal_guard signals;
      const echo_off quiet(descriptor);
      std::cerr << prompt << std::flush;
      std::string line;
      const line_end end =
          wait_for_line(descriptor, signals.waiting_mask(), max_bytes, line);
      // The line feed typed was not echoed.
      std::cerr << '\n' << std::flush;
      if (end == line_end::line_feed) return line;
      if (end == line_end::end_of_input) return std::nullopt;
      signal_number = caught_signal;
    }
    // The terminal and the signal handlers are as they were: the signal now
    // does what it would have done. After a stop, the prompt is shown again.
    std::raise(signal_number);
  }
}

}  // namespace cli
