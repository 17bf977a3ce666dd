#include "cli/commands.h"

#include <algorithm>
#include <iostream>
#include <string_view>

#include "cli/failure.h"
#include "cli/picture_files.h"
#include "cli/png_io.h"
#include "cli/positions.h"
#include "cli/sng_convert.h"

namespace cli {
namespace {

// The service adds a palette entry for each colour that hiding a byte
// creates, but only while the palette has fewer entries than this; a byte
// that needs one more is not hidden.
constexpr std::size_t max_growing_palette = 255;

std::vector<pixel> positions_argument(const std::string& text) {
  const auto positions = parse_positions(text);
  if (!positions)
    throw usage_error("bad positions \"" + text +
                      "\": write them x:y, separated by blanks");
  if (positions->empty()) throw usage_error("no positions given");
  return *positions;
}

// The bytes hidden at `positions`; throws failure for a position outside
// the picture, where nothing can be hidden.
std::string hidden_text(const sng& picture,
                        const std::vector<pixel>& positions) {
  for (const pixel& position : positions)
    if (position.x >= picture.width() || position.y >= picture.height())
      throw failure("position " + format_positions({position}) +
                    " lies outside the " + std::to_string(picture.width()) +
                    " x " + std::to_string(picture.height()) + " picture");
  return stego::get(picture, positions);
}

// The SNG text to upload for the picture file `path`. A PNG palette
// picture that could not take a new colour for every byte of a secret
// hidden in its pixels is sent as RGB.
std::string upload_text(const std::string& path, const std::string& secret,
                        bool pixel_mode) {
  if (kind_of(path) == file_kind::sng) return load_sng_text(path, std::cerr);
  raster picture = read_png(path, std::cerr);
  if (pixel_mode && picture.kind == raster::form::indexed &&
      picture.palette.size() + secret.size() > max_growing_palette) {
    std::cerr << "quarn-cli: " << path
              << ": its palette has no room for a new colour per byte of the "
                 "secret: sent as 8-bit RGB\n";
    picture = without_palette(picture);
  }
  return to_sng(picture, std::cerr);
}

void run_list(const arguments& args) {
  for (const std::string& id : list_pictures(args.service))
    std::cout << id << '\n';
}

void run_put(const arguments& args) {
  if (!args.secret) throw usage_error("put needs --secret TEXT");
  if (args.passwords.size() > 1)
    throw usage_error("put takes one --password at most");
  const std::optional<std::string> password =
      args.passwords.empty() ? std::nullopt
                             : std::optional(args.passwords.front());
  const std::string text =
      upload_text(args.operands[0], *args.secret, !password);
  const stored_picture stored =
      store_picture(args.service, text, *args.secret, password);
  std::cout << stored.id << '\n';
  if (!password) std::cout << format_positions(stored.positions) << '\n';
}

void run_get(const arguments& args) {
  const std::string& id = args.operands[0];
  if (args.output) kind_of(*args.output);
  const std::vector<pixel> positions = args.positions
                                           ? positions_argument(*args.positions)
                                           : std::vector<pixel>();
  const std::string text = fetch_picture(args.service, id, args.passwords);
  const std::string source = "the picture " + id;
  if (args.output) save_picture(*args.output, text, source, std::cerr);
  if (!positions.empty())
    std::cout << hidden_text(parse_sng(text, source), positions) << '\n';
  else if (!args.output)
    std::cout << text;
}

void run_convert(const arguments& args) {
  const std::string& in = args.operands[0];
  const std::string& out = args.operands[1];
  kind_of(out);
  save_picture(out, load_sng_text(in, std::cerr), in, std::cerr);
}

void run_reveal(const arguments& args) {
  const std::string& file = args.operands[0];
  const std::vector<pixel> positions = positions_argument(args.operands[1]);
  const sng picture = parse_sng(load_sng_text(file, std::cerr), file);
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
    {"put", "put FILE --secret TEXT [--password PW]",
     "store a picture with a secret",
     "FILE is sent as it is when it ends in .sng and converted when it ends "
     "in .png.\nWith --password the secret is kept in the picture's text, "
     "and get returns the\npicture only with a similar enough password. "
     "Without it the secret is hidden\nin the low bits of random pixels; the "
     "positions are printed on a second line\nand are needed to read it "
     "back. Secret and password are single words: no\nblanks.\n",
     1, "--secret --password", run_put},
    {"get",
     "get ID [--password PW ...] [-o OUT.sng|OUT.png] [--positions \"x:y "
     "...\"]",
     "fetch a picture",
     "Prints the picture's SNG text, or writes it to OUT, converted when OUT "
     "ends in\n.png. Each --password is offered in turn. With --positions the "
     "text hidden at\nthose pixels is printed instead of the SNG text.\n",
     1, "--password -o --positions", run_get},
    {"convert", "convert IN OUT", "PNG to SNG or SNG to PNG, no server needed",
     "Converts by the names' endings, .png or .sng.\n", 2, "", run_convert},
    {"reveal", "reveal FILE \"x:y ...\"", "print the text hidden at positions",
     "FILE is a picture, .sng or .png; the positions are those put printed.\n",
     2, "", run_reveal},
};

constexpr std::string_view global_help =
    "Options for every command:\n"
    "  -h HOST   the service's host (default 127.0.0.1)\n"
    "  -p PORT   the service's port (default 18360)\n"
    "  --help    this help\n";

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
