#include "cli/commands.h"

#include <algorithm>
#include <iostream>
#include <streambuf>
#include <string_view>

#include "cli/passwords.h"
#include "cli/picture_files.h"
#include "client/errors.h"
#include "client/pictures.h"
#include "client/positions.h"
#include "client/protocol.h"
#include "client/sng_convert.h"

namespace cli {

using client::failure;
using client::format_positions;
using client::hidden_text;
using client::parse_sng;
using client::required_positions;
using client::usage_error;

namespace {

// Writes to standard error, starting every line with the tool's name.
class tool_lines : public std::streambuf {
 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof()))
      return traits_type::not_eof(c);
    if (at_line_start_) std::cerr << "quarn-cli: ";
    at_line_start_ = traits_type::to_char_type(c) == '\n';
    std::cerr.put(traits_type::to_char_type(c));
    return std::cerr ? c : traits_type::eof();
  }

 private:
  bool at_line_start_ = true;
};

// Where the conversions' notes go: standard error, as the tool's lines.
std::ostream& notices() {
  static tool_lines lines;
  static std::ostream stream(&lines);
  return stream;
}

// The SNG text to upload for the picture file `path`.
std::string upload_text(const std::string& path, const std::string& secret,
                        bool pixel_mode) {
  if (kind_of(path) == file_kind::sng) return load_sng_text(path, notices());
  return client::png_upload_text(read_file(path), path, secret, pixel_mode,
                                 notices());
}

void run_list(const arguments& args) {
  for (const std::string& id : client::list_pictures(args.service))
    std::cout << id << '\n';
}

// put stores one password: refuses a second one, naming the options.
void check_one_password(const std::vector<password_option>& passwords) {
  if (passwords.size() < 2) return;
  if (passwords[0].from != passwords[1].from)
    throw usage_error("put takes --password or --password-file, not both");
  throw usage_error(passwords[0].from == password_option::source::file
                        ? "put takes one --password-file at most"
                        : "put takes one --password at most");
}

void run_put(const arguments& args) {
  if (!args.secret) throw usage_error("put needs --secret TEXT");
  check_one_password(args.passwords);
  const std::string& file = args.operands[0];
  // What can be refused at once is, before a password is asked for.
  kind_of(file);
  client::check_store_arguments(*args.secret, std::nullopt);
  const std::vector<std::string> given =
      passwords_of(args.passwords, password_use::choose);
  const std::optional<std::string> password =
      given.empty() ? std::nullopt : std::optional(given.front());
  const std::string text = upload_text(file, *args.secret, !password);
  const client::stored_picture stored =
      client::store_picture(args.service, text, *args.secret, password);
  std::cout << stored.id << '\n';
  if (!password) std::cout << format_positions(stored.positions) << '\n';
}

// The SNG text of the picture `id`. A protected picture asked for without a
// password is asked for its password at a prompt when standard input is a
// terminal, and is otherwise a failure that says how to give one.
std::string fetch(const client::service_address& service, const std::string& id,
                  const std::vector<std::string>& passwords) {
  try {
    return client::fetch_picture(service, id, passwords);
  } catch (const client::refusal& refused) {
    if (refused.reason() != "PASSWORD" || !passwords.empty()) throw;
    if (can_prompt())
      return client::fetch_picture(
          service, id,
          {prompt_password("Password for " + id + ": ", password_use::offer)});
    throw failure("cannot get " + id +
                  ": the picture is protected by a password; give it with "
                  "--password");
  }
}

void run_get(const arguments& args) {
  const std::string& id = args.operands[0];
  if (args.output) kind_of(*args.output);
  const std::vector<pixel> positions = args.positions
                                           ? required_positions(*args.positions)
                                           : std::vector<pixel>();
  const std::string text = fetch(
      args.service, id, passwords_of(args.passwords, password_use::offer));
  const std::string source = "the picture " + id;
  if (args.output) save_picture(*args.output, text, source, notices());
  if (!positions.empty())
    std::cout << hidden_text(parse_sng(text, source), positions) << '\n';
  else if (!args.output)
    std::cout << text;
}

void run_convert(const arguments& args) {
  const std::string& in = args.operands[0];
  const std::string& out = args.operands[1];
  kind_of(out);
  save_picture(out, load_sng_text(in, notices()), in, notices());
}

void run_reveal(const arguments& args) {
  const std::string& file = args.operands[0];
  const std::vector<pixel> positions = required_positions(args.operands[1]);
  const sng picture = parse_sng(load_sng_text(file, notices()), file);
  std::cout << hidden_text(picture, positions) << '\n';
}

struct command {
  std::string_view name;
  std::string_view synopsis;  // after "quarn-cli"
  std::string_view summary;   // one line for the general help
  std::string_view details;   // the rest of the command's help
  std::size_t operands;
  std::string_view options;  // the command options it takes, blank-separated
  void (*run)(const arguments&);
};

// Every command, in the order the help lists them.
constexpr command commands[] = {
    {"list", "list", "the identifiers of the stored pictures",
     "Prints the identifier of every stored picture, oldest first, one per "
     "line.\n",
     0, "", run_list},
    {"put", "put FILE --secret TEXT [--password-file PWFILE | --password PW]",
     "store a picture with a secret",
     "FILE is sent as it is when it ends in .sng and converted when it ends "
     "in .png.\nWith a password the secret is kept in the picture's text, and "
     "get returns the\npicture only with a similar enough password. Without "
     "one the secret is hidden\nin the low bits of random pixels; the "
     "positions are printed on a second line\nand are needed to read it back. "
     "Secret and password are single words: no\nblanks.\n\n--password-file "
     "PWFILE reads the password from the first line of PWFILE, and\n- from "
     "standard input; on a terminal it is asked for twice, not shown.\n"
     "--password PW puts it on the command line, where every user of the "
     "machine\ncan read it (ps): only for scripts that accept that.\n",
     1, "--secret --password --password-file", run_put},
    {"get",
     "get ID [--password-file PWFILE | --password PW]... [-o OUT.sng|OUT.png] "
     "[--positions \"x:y ...\"]",
     "fetch a picture",
     "Prints the picture's SNG text, or writes it to OUT, converted when OUT "
     "ends in\n.png. With --positions the text hidden at those pixels is "
     "printed instead of\nthe SNG text.\n\nEach password is offered in turn. "
     "--password-file PWFILE reads one from the\nfirst line of PWFILE, and - "
     "from standard input; --password PW puts one on the\ncommand line, where "
     "every user of the machine can read it (ps): only for\nscripts that "
     "accept that. When standard input is a terminal, a protected\npicture "
     "asked for without a password is asked for it, not shown.\n",
     1, "--password --password-file -o --positions", run_get},
    {"convert", "convert IN OUT", "PNG to SNG or SNG to PNG, no server needed",
     "Converts by the names' endings, .png or .sng.\n", 2, "", run_convert},
    {"reveal", "reveal FILE \"x:y ...\"", "print the text hidden at positions",
     "FILE is a picture, .sng or .png; the positions are those put printed.\n",
     2, "", run_reveal},
};

constexpr std::string_view global_help =
    "Options for every command:\n"
    "  -h HOST   the service's host (default 127.0.0.1)\n"
    "  -p PORT   the service's port (default 18360, and 18361 with --tls)\n"
    "  --tls     reach the service through TLS, at a TLS front such as\n"
    "            quarn-tls.service; its certificate must name HOST\n"
    "  --ca FILE trust the certificate authorities in FILE (PEM) for --tls,\n"
    "            instead of the system's\n"
    "  --help    this help\n"
    "  --version the tool's version\n";

void print_general_help() {
  std::cout << "usage: quarn-cli [-h HOST] [-p PORT] COMMAND ...\n\n"
               "A client for the quarn picture service that speaks PNG.\n\n"
               "Commands:\n";
  for (const command& entry : commands)
    std::cout << "  " << entry.name << std::string(10 - entry.name.size(), ' ')
              << entry.summary << '\n';
  std::cout << "\nquarn-cli COMMAND --help tells more.\n\n" << global_help;
}

void print_help(const command& entry) {
  std::cout << "usage: quarn-cli [-h HOST] [-p PORT] " << entry.synopsis
            << "\n\n"
            << entry.details << '\n'
            << global_help;
}

bool takes_option(const command& entry, std::string_view option) {
  for (std::size_t start = 0; start < entry.options.size();) {
    const std::size_t end =
        std::min(entry.options.find(' ', start), entry.options.size());
    if (entry.options.substr(start, end - start) == option) return true;
    start = end + 1;
  }
  return false;
}

void check_usage(const command& entry, const arguments& args) {
  for (const std::string& option : args.command_options)
    if (!takes_option(entry, option))
      throw usage_error(std::string(entry.name) + " does not take " + option);
  if (args.operands.size() != entry.operands)
    throw usage_error("usage: quarn-cli " + std::string(entry.synopsis));
}

}  // namespace

void run(const arguments& args) {
  if (args.version) {
    std::cout << "quarn-cli " QUARN_VERSION "\n";
    return;
  }
  if (args.command.empty()) {
    if (!args.help)
      throw usage_error("no command given; quarn-cli --help lists them");
    print_general_help();
    return;
  }
  const auto* entry =
      std::find_if(std::begin(commands), std::end(commands),
                   [&](const command& c) { return c.name == args.command; });
  if (entry == std::end(commands))
    throw usage_error("unknown command \"" + args.command +
                      "\"; quarn-cli --help lists them");
  if (args.help) {
    print_help(*entry);
    return;
  }
  check_usage(*entry, args);
  entry->run(args);
}

}  // namespace cli
