// The service's log: one line per event on standard error, where a service
// manager's journal collects it. A line reads
//
//   2025-01-31T12:34:56.789Z WARN peer_dropped reason=send_stalled peer=...
//
// a UTC time stamp with milliseconds, a level (INFO, WARN or ERROR), the
// event's name and its fields as key=value. A value that is empty or holds a
// blank, a double quote, a backslash or a control byte is written between
// double quotes, with \" \\ \n \r \t and \xHH escapes, so that an event is
// always one line. Each line is handed to one write call, and lines are far
// shorter than what a pipe writes whole, so lines from different threads do
// not mix. Ordinary commands are not logged, and nothing a client sent is.
#pragma once

#include <chrono>
#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "port/mutex.h"

enum class log_level { info, warn, error };

// One log line, built field by field and written by write(). Used by one
// thread.
class log_line {
 public:
  // Starts the line with the time stamp, the level and the event's name.
  log_line(log_level level, std::string_view event);

  log_line& field(std::string_view key, std::string_view value);
  template <std::integral number>
  log_line& field(std::string_view key, number value) {
    return field(key, std::string_view(std::to_string(value)));
  }

  // Writes the line and a line feed on standard error; a failure to write
  // is ignored, there being nowhere else to tell of it.
  void write() const;

 private:
  std::string text_;
};

// Writes `text` and a line feed on standard error in one call, with no time
// stamp or level: for the service's last words ("Socket error: NAME"), whose
// form is fixed.
void write_plain_line(std::string_view text);

// Lets one line in every `interval` through for an event that peers can
// cause at will, so that they cannot flood the log, and counts what it held
// back. Thread-safe.
class log_throttle {
 public:
  explicit log_throttle(std::chrono::steady_clock::duration interval);
  log_throttle(const log_throttle&) = delete;
  log_throttle& operator=(const log_throttle&) = delete;

  // Counts one occurrence. Returns the occurrences since the last line let
  // through, this one included, when this one's line is to be written now;
  // nothing when it is held back.
  std::optional<std::uint64_t> occurred() EXCLUDES(mutex_);

 private:
  const std::chrono::steady_clock::duration interval_;
  port::mutex mutex_;
  std::optional<std::chrono::steady_clock::time_point> last_line_
      GUARDED_BY(mutex_);
  std::uint64_t held_back_ GUARDED_BY(mutex_) = 0;
};
