#include "loadgen/process_watch.h"

#include <unistd.h>

#include <charconv>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace loadgen {
namespace {

// CPU time below which a second counts as idle: a few clock ticks, so that
// the service's own housekeeping does not count as work.
constexpr double idle_cpu_seconds_per_second = 0.05;

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream file(path);
  if (!file) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(file), {});
}

std::optional<std::uint64_t> parse_unsigned(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<stat_fields> parse_stat(std::string_view text) {
  // The command name stands in parentheses and may itself hold blanks and
  // parentheses; the fields after the last ")" are plain numbers.
  const std::size_t name_end = text.rfind(')');
  if (name_end == std::string_view::npos) return std::nullopt;
  std::istringstream fields{std::string(text.substr(name_end + 1))};
  stat_fields result;
  std::string skipped;
  if (!(fields >> result.state)) return std::nullopt;
  // utime and stime are fields 14 and 15; the state was field 3.
  for (int field = 4; field < 14; ++field) fields >> skipped;
  std::uint64_t user = 0;
  std::uint64_t system = 0;
  if (!(fields >> user >> system)) return std::nullopt;
  result.cpu_ticks = user + system;
  return result;
}

std::optional<std::uint64_t> named_number(std::string_view text,
                                          std::string_view name) {
  const std::string key = "\n" + std::string(name) + ":";
  std::size_t at = text.starts_with(key.substr(1)) ? 0 : text.find(key);
  if (at == std::string_view::npos) return std::nullopt;
  at = text.find_first_not_of(" \t", text.find(':', at) + 1);
  if (at == std::string_view::npos) return std::nullopt;
  return parse_unsigned(text.substr(at));
}

process_watch::process_watch(int pid)
    : directory_("/proc/" + std::to_string(pid) + "/") {}

bool process_watch::running() const {
  const auto fields = stat();
  return fields && fields->state != 'Z' && fields->state != 'X';
}

std::optional<double> process_watch::cpu_seconds() const {
  const auto fields = stat();
  if (!fields) return std::nullopt;
  return static_cast<double>(fields->cpu_ticks) /
         static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::optional<std::uint64_t> process_watch::resident_kib() const {
  const auto text = read_file(directory_ + "status");
  return text ? named_number(*text, "VmRSS") : std::nullopt;
}

std::optional<std::uint64_t> process_watch::peak_resident_kib() const {
  const auto text = read_file(directory_ + "status");
  return text ? named_number(*text, "VmHWM") : std::nullopt;
}

bool process_watch::reset_peak() const {
  std::ofstream file(directory_ + "clear_refs");
  // 5 resets the peak resident size and nothing else.
  return static_cast<bool>(file << "5" << std::flush);
}

std::optional<std::uint64_t> process_watch::written_bytes() const {
  const auto text = read_file(directory_ + "io");
  return text ? named_number(*text, "wchar") : std::nullopt;
}

std::optional<std::string> process_watch::directory() const {
  std::error_code error;
  const auto path = std::filesystem::read_symlink(directory_ + "cwd", error);
  if (error) return std::nullopt;
  return path.string();
}

bool process_watch::wait_until_idle(std::chrono::seconds limit) const {
  using clock = std::chrono::steady_clock;
  const clock::time_point until = clock::now() + limit;
  std::optional<double> before = cpu_seconds();
  while (before && running() && clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const std::optional<double> after = cpu_seconds();
    if (!after || *after - *before < idle_cpu_seconds_per_second) return true;
    before = after;
  }
  return !before || !running() || clock::now() < until;
}

std::optional<stat_fields> process_watch::stat() const {
  const auto text = read_file(directory_ + "stat");
  return text ? parse_stat(*text) : std::nullopt;
}

}  // namespace loadgen
