#include "client/protocol.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <charconv>
#include <optional>
#include <string_view>

#include "client/connection.h"
#include "client/errors.h"
#include "client/line_protocol.h"
#include "client/positions.h"
#include "net/limits.h"
#include "sng/sng.h"

namespace client {
namespace {

struct error_words {
  std::string_view reason;
  std::string words;
};

// `bytes` in words: whole mebibytes as "N MiB", any other size in bytes.
std::string size_words(std::size_t bytes) {
  constexpr std::size_t mebibyte = 1024 * 1024;
  return bytes % mebibyte == 0 ? std::to_string(bytes / mebibyte) + " MiB"
                               : std::to_string(bytes) + " bytes";
}

// Every "ERROR(reason)" answer of the service, in words.
const error_words error_table[] = {
    {"ARG", "the service refused the command's arguments"},
    {"PASSWORD", "wrong password"},
    {"NOTFOUND", "no picture has that identifier"},
    {"DBREAD", "the service could not read the stored picture"},
    {"PARSE", "the picture's SNG text does not parse"},
    {"STEGO",
     "the secret cannot be hidden in the picture's pixels (it needs two "
     "pixels per byte, a bit depth of 4 or more, and in a palette picture "
     "room for one new colour per byte)"},
    {"DBWRITE", "the service could not write the picture to its store"},
    {"LIMIT",
     "the picture is larger than the service accepts (lines of at most " +
         size_words(max_line_bytes) + ", at most " +
         std::to_string(max_upload_lines) + " lines, " +
         size_words(max_upload_bytes) + " in all, and at most " +
         size_words(max_picture_bytes) + " of SNG text once stored)"},
};

// `answer` as an error reason, when it is "ERROR(reason)".
std::optional<std::string_view> error_reason(std::string_view answer) {
  constexpr std::string_view open = "ERROR(";
  if (answer.size() <= open.size() || !answer.starts_with(open) ||
      !answer.ends_with(")"))
    return std::nullopt;
  return answer.substr(open.size(), answer.size() - open.size() - 1);
}

// Throws, for an answer that is not the one expected, a refusal (an
// "ERROR(...)" answer) or a failure whose message is `action` + ": " + what
// `answer` means.
[[noreturn]] void reject(const std::string& action, const std::string& answer) {
  std::string words;
  if (const auto reason = error_reason(answer)) {
    const auto* entry =
        std::find_if(std::begin(error_table), std::end(error_table),
                     [&](const error_words& e) { return e.reason == *reason; });
    words = entry != std::end(error_table) ? std::string(entry->words)
                                           : "the service answered " + answer;
    throw refusal(std::string(*reason), action + ": " + words);
  }
  if (answer == "Unknown command") {
    words = "the service does not know the command; is it a quarn service?";
  } else {
    words =
        "unexpected answer from the service: \"" + answer.substr(0, 80) + "\"";
  }
  throw failure(action + ": " + words);
}

// Refuses a value that cannot be one word of a command line: words are
// split at blanks and the line ends at a line feed.
void check_word(const std::string& what, const std::string& value) {
  if (value.empty()) throw usage_error(what + " must not be empty");
  if (value.find_first_of(" \n") != std::string::npos)
    throw usage_error(what +
                      " cannot hold a blank or a line feed: the protocol "
                      "carries it as one word");
}

// Refuses what a picture stored in password mode cannot keep: the secret is
// kept in a text chunk, which ends at "}", and the password between double
// quotes in a chunk of its own.
void check_password_mode(const std::string& secret,
                         const std::string& password) {
  check_word("the password", password);
  if (secret.find('}') != std::string::npos)
    throw usage_error(
        "a secret guarded by a password cannot hold \"}\": the stored "
        "picture's text chunk would end there");
  if (password.find_first_of("\"}") != std::string::npos)
    throw usage_error(
        "the password cannot hold a double quote or \"}\": the stored "
        "picture could not keep it");
  if (password.size() > max_password_bytes)
    throw usage_error("the password is longer than " +
                      std::to_string(max_password_bytes) +
                      " bytes, the most the service stores");
}

// Refuses, before anything is sent, a picture the service would refuse once
// it has read it: one whose stored text would not read back, one that
// carries a password of its own too long to store (pixel mode keeps it), or
// one whose stored text would be longer than the service writes. A text
// that is no picture is left to the service to refuse.
void check_picture(const std::string& sng_text, const std::string& secret,
                   const std::optional<std::string>& password,
                   const reserve_memory& reserve) {
  std::optional<sng> picture;
  try {
    picture.emplace(sng_text, callable(reserve));
  } catch (const sng::parse_error&) {
    return;
  }
  if (!picture->reads_back())
    throw usage_error(
        "the picture has rows but a width of 0: its rows would be stored as "
        "empty lines, which do not read back");
  if (password) {
    picture->private_("PASW", *password);
    picture->keyword("flag");
    picture->text(secret);
  } else if (picture->private_("PASW").size() > max_password_bytes) {
    throw usage_error("the picture carries a password of its own (PASW) of " +
                      std::to_string(picture->private_("PASW").size()) +
                      " bytes; the service stores at most " +
                      std::to_string(max_password_bytes));
  }
  if (picture->raw_size() > max_picture_bytes)
    throw over_limit("the picture would be stored as " +
                     std::to_string(picture->raw_size()) +
                     " bytes of SNG text; the service stores at most " +
                     std::to_string(max_picture_bytes));
}

// The number of lines of `sng_text`; throws over_limit for a text the service
// would refuse for its size.
std::size_t check_upload(const std::string& sng_text) {
  if (sng_text.size() > max_upload_bytes)
    throw over_limit("the picture's SNG text has " +
                     std::to_string(sng_text.size()) +
                     " bytes; the service accepts at most " +
                     std::to_string(max_upload_bytes));
  std::size_t lines = 0;
  std::size_t start = 0;
  for (std::size_t end; (end = sng_text.find('\n', start)) != std::string::npos;
       start = end + 1, ++lines)
    if (end - start > max_line_bytes)
      throw over_limit("the picture's SNG text has a line longer than " +
                       std::to_string(max_line_bytes) +
                       " bytes, the most the service accepts");
  if (lines > static_cast<std::size_t>(max_upload_lines))
    throw over_limit("the picture's SNG text has " + std::to_string(lines) +
                     " lines; the service accepts at most " +
                     std::to_string(max_upload_lines));
  return lines;
}

// The putpic command line for `secret` and `password`, line feed excluded;
// throws usage_error for a value the protocol or the stored picture cannot
// carry and over_limit for a line longer than the service reads.
std::string putpic_command(const std::string& secret,
                           const std::optional<std::string>& password) {
  check_word("the secret", secret);
  std::string command = "putpic " + secret;
  if (password) {
    check_password_mode(secret, *password);
    command += " " + *password;
  }
  if (command.size() > max_line_bytes)
    throw over_limit("the putpic command line has " +
                     std::to_string(command.size()) +
                     " bytes; the service accepts at most " +
                     std::to_string(max_line_bytes));
  return command;
}

// "TCP4 " or "TCP6 " and the two addresses of `client`, both of one family.
std::string proxy_addresses(const proxied_client& client) {
  in6_addr bytes{};
  const auto of_family = [&bytes](int family, const std::string& address) {
    return ::inet_pton(family, address.c_str(), &bytes) == 1;
  };
  for (const auto& [family, name] :
       {std::pair{AF_INET, "TCP4 "}, std::pair{AF_INET6, "TCP6 "}})
    if (of_family(family, client.address) &&
        of_family(family, client.local_address))
      return name + client.address + " " + client.local_address;
  throw failure("cannot name the client " + client.address +
                " to the service: not an IP address");
}

// Sends `bytes` of a request. A service that refuses a request may answer
// and close the connection before taking all of it: the answer read next
// tells, so a closed connection is no failure yet.
void send_request(connection& link, std::string_view bytes) {
  try {
    link.send(bytes);
  } catch (const peer_closed&) {
  }
}

// Opens the connection of one exchange (through TLS when the service asks
// for it): for a client the caller acts for, with the PROXY line that names
// it, when the service is on this host.
connection open_exchange(const service_address& service,
                         const reserve_memory& reserve = {}) {
  connection link(service.host, service.port, {.tls = service.tls}, reserve);
  if (!service.on_behalf_of || !link.reached_over_loopback()) return link;
  const proxied_client& client = *service.on_behalf_of;
  send_request(link, "PROXY " + proxy_addresses(client) + " " +
                         std::to_string(client.port) + " " +
                         std::to_string(client.local_port) + "\r\n");
  return link;
}

// The block of `count` lines that follows a count line.
std::string read_block(connection& link, std::size_t count) {
  std::string block;
  link.read_lines(count, block);
  return block;
}

stored_picture parse_stored(const std::string& action,
                            const std::string& answer,
                            const std::string& secret, bool pixel_mode) {
  if (error_reason(answer) || answer.empty()) reject(action, answer);
  const std::size_t semicolon = answer.find(';');
  if (!pixel_mode) {
    if (semicolon != std::string::npos) reject(action, answer);
    return {answer, {}};
  }
  if (semicolon == std::string::npos || semicolon == 0) reject(action, answer);
  const auto positions = parse_positions(answer.substr(semicolon + 1));
  if (!positions || positions->size() != secret.size()) reject(action, answer);
  return {answer.substr(0, semicolon), *positions};
}

}  // namespace

void check_port(const std::string& port) {
  unsigned number = 0;
  const char* end = port.data() + port.size();
  const auto [stop, error] = std::from_chars(port.data(), end, number);
  if (port.empty() || error != std::errc() || stop != end || number < 1 ||
      number > 65535)
    throw usage_error("the port must be a number from 1 to 65535, not \"" +
                      port + "\"");
}

std::vector<std::string> list_pictures(const service_address& service) {
  const std::string action = "cannot list the pictures";
  connection link = open_exchange(service);
  send_request(link, "list\n");
  const std::string answer = link.read_line();
  const auto count = line_count(answer);
  if (!count) reject(action, answer);
  const std::string block = read_block(link, *count);
  std::vector<std::string> ids;
  for (std::size_t start = 0; start < block.size();) {
    const std::size_t end = block.find('\n', start);
    ids.push_back(block.substr(start, end - start));
    start = end + 1;
  }
  return ids;
}

std::string fetch_picture(const service_address& service, const std::string& id,
                          const std::vector<std::string>& passwords,
                          const reserve_memory& reserve) {
  check_word("the identifier", id);
  std::string request = "getpic " + id;
  for (const std::string& password : passwords) {
    check_word("a password", password);
    request += " " + password;
  }
  const std::string action = "cannot get " + id;
  connection link = open_exchange(service, reserve);
  send_request(link, request + "\n");
  const std::string answer = link.read_line();
  const auto count = line_count(answer);
  if (!count) reject(action, answer);
  return read_block(link, *count);
}

void check_store_arguments(const std::string& secret,
                           const std::optional<std::string>& password) {
  putpic_command(secret, password);
}

stored_picture store_picture(const service_address& service,
                             const std::string& sng_text,
                             const std::string& secret,
                             const std::optional<std::string>& password,
                             const reserve_memory& reserve) {
  const std::string command = putpic_command(secret, password);
  const std::size_t lines = check_upload(sng_text);
  check_picture(sng_text, secret, password, reserve);
  const std::string action = "cannot store the picture";
  connection link = open_exchange(service);
  send_request(link, command + "\n" + std::to_string(lines) + "\n");
  send_request(link, sng_text);
  return parse_stored(action, link.read_line(), secret, !password);
}

}  // namespace client
