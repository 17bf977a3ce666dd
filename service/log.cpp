#include "service/log.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <utility>

namespace {

// "2025-01-31T12:34:56.789Z": the current UTC time to the millisecond.
std::string utc_time_stamp() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  std::tm utc{};
  ::gmtime_r(&now.tv_sec, &utc);
  char stamp[64];  // room for any year the calendar fields can hold
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ",
                utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour,
                utc.tm_min, utc.tm_sec, now.tv_nsec / 1'000'000);
  return stamp;
}

const char* level_name(log_level level) {
  switch (level) {
    case log_level::info:
      return "INFO";
    case log_level::warn:
      return "WARN";
    case log_level::error:
      return "ERROR";
  }
  return "ERROR";
}

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7f; }

bool needs_quotes(std::string_view value) {
  return value.empty() ||
         std::any_of(value.begin(), value.end(), [](unsigned char c) {
           return c == ' ' || c == '"' || c == '\\' || is_control(c);
         });
}

// Appends `value` between double quotes, escaped so that it stays on the
// line and reads back unchanged.
void append_quoted(std::string& out, std::string_view value) {
  static constexpr char hex[] = "0123456789abcdef";
  out += '"';
  for (const char byte : value) {
    const auto c = static_cast<unsigned char>(byte);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += byte;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (is_control(c)) {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 0xf];
    } else {
      out += byte;
    }
  }
  out += '"';
}

// Writes all of `line` on standard error: in one call, as a rule, which a
// pipe or the journal's stream takes whole.
void write_to_standard_error(const std::string& line) {
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t written =
        ::write(STDERR_FILENO, line.data() + done, line.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    done += static_cast<std::size_t>(written);
  }
}

}  // namespace

log_line::log_line(log_level level, std::string_view event)
    : text_(utc_time_stamp()) {
  text_ += ' ';
  text_ += level_name(level);
  text_ += ' ';
  text_ += event;
}

log_line& log_line::field(std::string_view key, std::string_view value) {
  text_ += ' ';
  text_ += key;
  text_ += '=';
  if (needs_quotes(value))
    append_quoted(text_, value);
  else
    text_ += value;
  return *this;
}

void log_line::write() const { write_to_standard_error(text_ + '\n'); }

void write_plain_line(std::string_view text) {
  std::string line(text);
  line += '\n';
  write_to_standard_error(line);
}

log_throttle::log_throttle(std::chrono::steady_clock::duration interval)
    : interval_(interval) {}

std::optional<std::uint64_t> log_throttle::occurred() {
  const auto now = std::chrono::steady_clock::now();
  port::mutex_lock lock(mutex_);
  ++held_back_;
  if (last_line_ && now - *last_line_ < interval_) return std::nullopt;
  last_line_ = now;
  return std::exchange(held_back_, 0);
}
