#include "loadgen/options.h"

#include <getopt.h>

#include <optional>
#include <string_view>

#include "loadgen/failure.h"

namespace loadgen {
namespace {

int parse_count(std::string_view text, const char* option, int least) {
  const int value = parse_number<int>(text, option);
  if (value < least)
    throw failure(std::string(option) + " must be at least " +
                  std::to_string(least));
  return value;
}

// A byte count with an optional K or M suffix (KiB, MiB).
std::size_t parse_size(std::string_view text) {
  std::size_t unit = 1;
  if (text.ends_with('K') || text.ends_with('k')) unit = 1024;
  if (text.ends_with('M') || text.ends_with('m')) unit = 1024 * 1024;
  if (unit != 1) text.remove_suffix(1);
  const auto value = parse_number<std::size_t>(text, "--size");
  if (value == 0) throw failure("--size must be at least 1 byte");
  return value * unit;
}

scenario parse_scenario(std::string_view text) {
  const auto kind = scenario_named(text);
  if (!kind) throw failure("unknown scenario: " + std::string(text));
  return *kind;
}

// What getopt_long returns for --help and --version, which have no short
// form.
constexpr int help_code = 1000;
constexpr int version_code = 1001;
constexpr int tls_code = 1002;
constexpr int ca_code = 1003;

const option long_options[] = {
    {"host", required_argument, nullptr, 'h'},
    {"port", required_argument, nullptr, 'p'},
    {"connections", required_argument, nullptr, 'c'},
    {"idle", required_argument, nullptr, 'i'},
    {"scenario", required_argument, nullptr, 's'},
    {"size", required_argument, nullptr, 'b'},
    {"side", required_argument, nullptr, 'w'},
    {"duration", required_argument, nullptr, 'd'},
    {"tls", no_argument, nullptr, tls_code},
    {"ca", required_argument, nullptr, ca_code},
    {"help", no_argument, nullptr, help_code},
    {"version", no_argument, nullptr, version_code},
    {nullptr, 0, nullptr, 0},
};

}  // namespace

settings parse_options(int argc, char** argv) {
  settings result;
  bool port_given = false;
  bool tls = false;
  std::optional<std::string> ca_file;
  optind = 0;  // makes getopt start afresh on every call
  opterr = 0;
  int code;
  while ((code = ::getopt_long(argc, argv, "h:p:c:i:s:b:w:d:", long_options,
                               nullptr)) != -1) {
    const std::string_view value = optarg != nullptr ? optarg : "";
    switch (code) {
      case 'h':
        result.host = value;
        break;
      case 'p':
        result.port = parse_count(value, "--port", 1);
        port_given = true;
        break;
      case 'c':
        result.connections = parse_count(value, "--connections", 1);
        break;
      case 'i':
        result.idle_connections = parse_count(value, "--idle", 0);
        break;
      case 's':
        result.kind = parse_scenario(value);
        break;
      case 'b':
        result.picture_bytes = parse_size(value);
        break;
      case 'w':
        result.picture_side = parse_count(value, "--side", 1);
        break;
      case 'd':
        result.duration_s = parse_number<double>(value, "--duration");
        if (result.duration_s <= 0) throw failure("--duration must be > 0");
        break;
      case tls_code:
        tls = true;
        break;
      case ca_code:
        ca_file = value;
        break;
      case help_code:
        result.help = true;
        break;
      case version_code:
        result.version = true;
        break;
      default:
        throw failure("bad option; see --help");
    }
  }
  if (optind < argc)
    throw failure(std::string("unexpected argument: ") + argv[optind]);
  result.tls = client::trust_for_options(tls, ca_file);
  if (tls && !port_given) result.port = client::tls_front_port;
  return result;
}

client::connection connect_to_service(const settings& options) {
  return client::connection(options.host, std::to_string(options.port),
                            {.tls = options.tls});
}

std::string usage() {
  return "usage: quarn-bench [options]\n"
         "Drives a running quarn service and checks every answer.\n"
         "  -h, --host HOST         service address (127.0.0.1)\n"
         "  -p, --port PORT         service port (18360, or 18361 with "
         "--tls)\n"
         "      --tls               reach the service through TLS, at a TLS\n"
         "                          front such as quarn-tls.service\n"
         "      --ca FILE           trust the certificate authorities in FILE\n"
         "                          (PEM) for --tls, not the system's\n"
         "  -c, --connections N     busy connections, one thread each (8)\n"
         "  -i, --idle M            extra connections kept open and silent "
         "(0)\n"
         "  -s, --scenario NAME     getpic, putpic-password, putpic-pixel,\n"
         "                          list or mixed (getpic)\n"
         "  -b, --size BYTES        picture size in bytes of SNG text, K and "
         "M\n"
         "                          suffixes allowed (512K)\n"
         "  -w, --side PIXELS       a square picture of PIXELS x PIXELS "
         "instead\n"
         "  -d, --duration SECONDS  length of the run (10)\n"
         "      --help              this text\n"
         "      --version           this program's version\n"
         "Exits with 1 when any answer is wrong or a connection fails.\n";
}

}  // namespace loadgen
