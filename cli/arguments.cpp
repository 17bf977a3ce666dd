#include "cli/arguments.h"

#include <algorithm>
#include <string_view>

#include "client/errors.h"

namespace cli {

using client::check_port;
using client::usage_error;

namespace {

void set_once(std::optional<std::string>& option, std::string_view name,
              std::string value) {
  if (option) throw usage_error(std::string(name) + " is given twice");
  option = std::move(value);
}

// The options that take a value, the next word of the command line.
constexpr std::string_view value_options[] = {
    "-h", "-p",         "--ca", "--secret", "--password", "--password-file",
    "-o", "--positions"};

bool takes_value(std::string_view word) {
  return std::find(std::begin(value_options), std::end(value_options), word) !=
         std::end(value_options);
}

// What the command line says of TLS: --tls, and --ca FILE.
struct tls_options {
  bool wanted = false;
  std::optional<std::string> ca_file;
};

// Stores `value` for the option `name`, one of value_options.
void take_option(arguments& result, tls_options& tls, std::string_view name,
                 std::string value) {
  if (name == "-h") {
    result.service.host = std::move(value);
    return;
  }
  if (name == "-p") {
    check_port(value);
    result.service.port = std::move(value);
    return;
  }
  if (name == "--ca") {
    set_once(tls.ca_file, name, std::move(value));
    return;
  }
  result.command_options.emplace_back(name);
  if (name == "--secret")
    set_once(result.secret, name, std::move(value));
  else if (name == "--password")
    result.passwords.push_back(
        {password_option::source::command_line, std::move(value)});
  else if (name == "--password-file")
    result.passwords.push_back(
        {password_option::source::file, std::move(value)});
  else if (name == "-o")
    set_once(result.output, name, std::move(value));
  else
    set_once(result.positions, name, std::move(value));
}

// A word that names an option rather than an operand; "-" alone is an
// operand.
bool is_option(std::string_view word) {
  return word.size() > 1 && word.front() == '-';
}

// Sets what the service is reached through: TLS, trusting the authorities
// of --ca or the system's, on port 18361 unless -p says otherwise; or the
// clear, on port 18360.
void set_transport(arguments& result, const tls_options& tls) {
  result.service.tls = client::trust_for_options(tls.wanted, tls.ca_file);
  if (result.service.port.empty())
    result.service.port =
        tls.wanted ? std::to_string(client::tls_front_port) : "18360";
}

}  // namespace

arguments parse_arguments(int argc, const char* const* argv) {
  arguments result;
  tls_options tls;
  bool options_ended = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view word = argv[i];
    if (options_ended || !is_option(word)) {
      if (result.command.empty())
        result.command = word;
      else
        result.operands.emplace_back(word);
    } else if (word == "--") {
      options_ended = true;
    } else if (word == "--help") {
      result.help = true;
    } else if (word == "--version") {
      result.version = true;
    } else if (word == "--tls") {
      tls.wanted = true;
    } else if (!takes_value(word)) {
      throw usage_error("unknown option " + std::string(word));
    } else if (i + 1 == argc) {
      throw usage_error(std::string(word) + " needs a value");
    } else {
      take_option(result, tls, word, argv[++i]);
    }
  }
  set_transport(result, tls);
  return result;
}

}  // namespace cli
