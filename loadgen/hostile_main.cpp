// quarn-hostile: drives one hostile request or mix against a running quarn
// service and prints what it cost the service: its CPU time, its peak and
// final resident memory, the bytes it wrote, what the hostile requests got,
// and how long a fresh client waited for list meanwhile. It starts nothing
// itself; bench/hostile starts a fresh service for each scenario.
#include <getopt.h>

#include <cstdio>
#include <iostream>

#include "loadgen/failure.h"
#include "loadgen/hostile.h"
#include "loadgen/options.h"

namespace {

using namespace loadgen;

// What getopt_long returns for the options without a short form.
enum long_only {
  pid_code = 1000,
  wait_code,
  hold_code,
  settle_code,
  help_code
};

const option long_options[] = {
    {"host", required_argument, nullptr, 'h'},
    {"port", required_argument, nullptr, 'p'},
    {"pid", required_argument, nullptr, pid_code},
    {"wait", required_argument, nullptr, wait_code},
    {"hold", required_argument, nullptr, hold_code},
    {"settle", required_argument, nullptr, settle_code},
    {"help", no_argument, nullptr, help_code},
    {nullptr, 0, nullptr, 0},
};

std::string usage() {
  return "usage: quarn-hostile --pid PID [options] SCENARIO\n"
         "Drives one hostile scenario against a running quarn service whose\n"
         "process is PID and prints what it cost the service.\n"
         "  -h, --host HOST     service address (127.0.0.1)\n"
         "  -p, --port PORT     service port (18360)\n"
         "      --pid PID       the service's process (required)\n"
         "      --wait SECONDS  longest wait for an answer (120)\n"
         "      --hold SECONDS  how long held connections are held (70 for\n"
         "                      non-readers and partial-lines, 5 for\n"
         "                      held-connections)\n"
         "      --settle SECONDS  longest wait for the service to go idle at\n"
         "                      the end (60)\n"
         "      --help          this text\n"
         "Scenarios: " +
         hostile_scenario_names() + "\n";
}

std::chrono::seconds parse_seconds(std::string_view text, const char* option) {
  const int value = parse_number<int>(text, option);
  if (value < 0) throw failure(std::string(option) + " must be at least 0");
  return std::chrono::seconds(value);
}

struct command_line {
  hostile_settings settings;
  hostile_scenario kind = hostile_scenario::amplify;
  bool help = false;
};

command_line parse_command_line(int argc, char** argv) {
  command_line result;
  hostile_settings& settings = result.settings;
  opterr = 0;
  int code;
  while ((code = ::getopt_long(argc, argv, "h:p:", long_options, nullptr)) !=
         -1) {
    const std::string_view value = optarg != nullptr ? optarg : "";
    switch (code) {
      case 'h':
        settings.host = value;
        break;
      case 'p':
        settings.port = parse_number<int>(value, "--port");
        break;
      case pid_code:
        settings.pid = parse_number<int>(value, "--pid");
        break;
      case wait_code:
        settings.answer_wait = parse_seconds(value, "--wait");
        break;
      case hold_code:
        settings.hold = parse_seconds(value, "--hold");
        break;
      case settle_code:
        settings.settle = parse_seconds(value, "--settle");
        break;
      case help_code:
        result.help = true;
        return result;
      default:
        throw failure("bad option; see --help");
    }
  }
  if (settings.pid <= 0) throw failure("--pid is required; see --help");
  if (optind + 1 != argc) throw failure("name one scenario; see --help");
  const auto kind = hostile_scenario_named(argv[optind]);
  if (!kind) throw failure(std::string("unknown scenario: ") + argv[optind]);
  result.kind = *kind;
  return result;
}

void print(std::string_view key, const std::string& value) {
  std::printf("%.*s: %s\n", static_cast<int>(key.size()), key.data(),
              value.c_str());
}

template <typename number>
std::string or_unknown(const std::optional<number>& value,
                       std::string (*format)(number)) {
  return value ? format(*value) : "unknown";
}

std::string two_decimals(double value) { return fixed(value, 2); }

std::string mib_of_kib(std::uint64_t kib) {
  return two_decimals(static_cast<double>(kib) / 1024.0);
}

std::string decimal(std::uint64_t value) { return std::to_string(value); }

void print_report(hostile_scenario kind, const hostile_report& report) {
  const service_cost& cost = report.cost;
  print("scenario", std::string(hostile_scenario_name(kind)));
  print("hostile requests", std::to_string(report.requests));
  print("outcome", report.outcome);
  for (const auto& [key, value] : report.details) print(key, value);
  const std::string busy = cost.still_busy ? " (still busy)" : "";
  print("service cpu s", or_unknown(cost.cpu_seconds, two_decimals) + busy);
  std::optional<double> per_request;
  if (cost.cpu_seconds && report.requests > 0)
    per_request = *cost.cpu_seconds / static_cast<double>(report.requests);
  print("service cpu s per request",
        or_unknown(per_request, two_decimals) + busy);
  print("service peak rss MiB",
        or_unknown(cost.peak_kib, mib_of_kib) +
            (cost.peak_from_samples ? " (sampled)" : ""));
  print("service rss at end MiB", or_unknown(cost.end_kib, mib_of_kib));
  print("service bytes written", or_unknown(cost.written_bytes, decimal));
  print("service running", cost.running ? "yes" : "no");
  print("list samples", std::to_string(cost.list.samples));
  print("list answered", std::to_string(cost.list.answered));
  print("list closed", std::to_string(cost.list.closed));
  print("list no answer", std::to_string(cost.list.no_answer));
  // With no list answered or left unanswered there is no latency to show.
  const bool waited = cost.list.answered + cost.list.no_answer > 0;
  print("list max ms", waited ? two_decimals(cost.list.max_ms) : "none");
  print("list p99 ms", waited ? two_decimals(cost.list.p99_ms) : "none");
}

int run(int argc, char** argv) {
  const command_line options = parse_command_line(argc, argv);
  if (options.help) {
    std::cout << usage();
    return 0;
  }
  print_report(options.kind, run_hostile(options.kind, options.settings));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const failure& reason) {
    std::cerr << "quarn-hostile: " << reason.message() << "\n";
    return 1;
  }
}
