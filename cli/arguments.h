// The tool's command line: global options, the command, its operands and its
// options, in any order after the program's name.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "client/protocol.h"

namespace cli {

// A password option: the password itself (--password PW) or the file whose
// first line holds it (--password-file FILE, "-" for standard input).
struct password_option {
  enum class source { command_line, file };
  source from;
  std::string text;  // the password, or the file's name
};

struct arguments {
  // -h HOST, -p PORT (18360 by default, 18361 with --tls), and what to trust
  // with --tls and --ca FILE.
  client::service_address service{"127.0.0.1", ""};
  std::string command;  // empty when none is given
  std::vector<std::string> operands;
  std::optional<std::string> secret;  // --secret TEXT
  // --password PW and --password-file FILE, in the order given.
  std::vector<password_option> passwords;
  std::optional<std::string> output;     // -o FILE
  std::optional<std::string> positions;  // --positions "x:y ..."
  bool help = false;                     // --help
  bool version = false;                  // --version
  // Every command option given (not -h, -p, --tls, --ca, --help or
  // --version), in order, so that the command can refuse those it does not
  // take.
  std::vector<std::string> command_options;
};

// Splits the command line; throws usage_error for an unknown option, an
// option without its value, a single-valued option given twice, a port
// that is not a number from 1 to 65535, or --ca without --tls. "--" ends
// the options. With --tls it reads the certificate authorities to trust,
// and throws failure when they cannot be read.
arguments parse_arguments(int argc, const char* const* argv);

}  // namespace cli
