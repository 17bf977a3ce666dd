// What a client on the same machine can see of the service's process through
// /proc: its CPU time, resident memory, bytes written and state. Used by
// quarn-hostile to measure what a hostile mix costs the service.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace loadgen {

// Parts of the texts of /proc/PID/stat and /proc/PID/status; nullopt when
// the text does not hold them.
struct stat_fields {
  char state = '?';             // R, S, D, Z, ...
  std::uint64_t cpu_ticks = 0;  // user and system time, in clock ticks
};
std::optional<stat_fields> parse_stat(std::string_view text);
// The number N of the line "NAME: N" (or "NAME: N kB") of a text such as
// /proc/PID/status or /proc/PID/io.
std::optional<std::uint64_t> named_number(std::string_view text,
                                          std::string_view name);

// One process, named by its PID. Every reading is nullopt once the process
// has gone (or has become a zombie, whose status holds no memory figures).
class process_watch {
 public:
  explicit process_watch(int pid);

  // Whether the process exists and has not ended.
  bool running() const;
  // User and system CPU time so far, in seconds.
  std::optional<double> cpu_seconds() const;
  std::optional<std::uint64_t> resident_kib() const;       // VmRSS
  std::optional<std::uint64_t> peak_resident_kib() const;  // VmHWM
  // Restarts the peak from the current resident size, so that it leaves out
  // what came before; false when the system does not allow it.
  bool reset_peak() const;
  // Bytes the process has handed to write and send calls (files and
  // sockets alike), /proc/PID/io's wchar.
  std::optional<std::uint64_t> written_bytes() const;
  // The process's working directory.
  std::optional<std::string> directory() const;

  // Waits until the process uses almost no CPU for a second, or has ended,
  // at most `limit`; false when it was still busy at the end.
  bool wait_until_idle(std::chrono::seconds limit) const;

 private:
  std::optional<stat_fields> stat() const;

  std::string directory_;  // "/proc/PID/"
};

}  // namespace loadgen
