#include "loadgen/workload.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <set>
#include <utility>

#include "client/line_protocol.h"
#include "loadgen/failure.h"

namespace loadgen {
namespace {

// The secret and password every putpic sends. The secret's length is the
// number of positions a pixel-mode answer must hold.
constexpr std::string_view secret = "quarn-bench-secret";
constexpr std::string_view password = "bench-password-2024";

constexpr std::string_view identifier_ending = ".sng";

constexpr std::array<std::pair<std::string_view, scenario>, 5> scenarios = {{
    {"getpic", scenario::getpic},
    {"putpic-password", scenario::putpic_password},
    {"putpic-pixel", scenario::putpic_pixel},
    {"list", scenario::list},
    {"mixed", scenario::mixed},
}};

constexpr std::array<request_kind, 10> mixed_cycle = {
    request_kind::getpic,          request_kind::getpic,
    request_kind::putpic_password, request_kind::getpic,
    request_kind::getpic,          request_kind::list,
    request_kind::getpic,          request_kind::putpic_pixel,
    request_kind::getpic,          request_kind::getpic,
};

// `text` cut to a length that fits in an error message.
std::string quoted(std::string_view text) {
  constexpr std::size_t shown = 80;
  return "\"" + std::string(text.substr(0, shown)) +
         (text.size() > shown ? "...\"" : "\"");
}

// Reads "x:y" into `x` and `y`; false when it is not two decimal numbers.
bool parse_position(std::string_view text, unsigned& x, unsigned& y) {
  const char* end = text.data() + text.size();
  const auto [colon, x_error] = std::from_chars(text.data(), end, x);
  if (x_error != std::errc() || colon == end || *colon != ':') return false;
  const auto [last, y_error] = std::from_chars(colon + 1, end, y);
  return y_error == std::errc() && last == end && colon + 1 != end;
}

// Whether `fetched` holds the secret in its text chunk. Every read of a
// stored picture adds one blank before the text (the reader keeps the blank
// after "text:"), so blanks before the secret are allowed.
bool carries_secret(std::string_view fetched) {
  constexpr std::string_view opening = "tEXt {\n\tkeyword: flag\n\ttext: ";
  const std::size_t begin = fetched.find(opening);
  if (begin == std::string_view::npos) return false;
  std::string_view text = fetched.substr(begin + opening.size());
  text.remove_prefix(std::min(text.find_first_not_of(' '), text.size()));
  return text.starts_with(std::string(secret) + "\n}\n");
}

// Whether the fetched text is the upload with the secret and the password
// added by password-mode putpic, its pixel rows unchanged.
void check_stored_picture(std::string_view fetched, std::string_view sent) {
  const std::string password_chunk =
      "private PASW {\n\t\"" + std::string(password) + "\"\n}\n";
  if (!carries_secret(fetched))
    throw failure("the fetched picture does not carry the secret");
  if (fetched.find(password_chunk) == std::string_view::npos)
    throw failure("the fetched picture does not carry the password");
  if (image_chunk(fetched).empty() || image_chunk(fetched) != image_chunk(sent))
    throw failure("the fetched picture's pixel rows differ from the upload");
}

}  // namespace

std::optional<scenario> scenario_named(std::string_view name) {
  for (const auto& [scenario_name, kind] : scenarios)
    if (scenario_name == name) return kind;
  return std::nullopt;
}

std::string_view scenario_name(scenario kind) {
  for (const auto& [name, named_kind] : scenarios)
    if (named_kind == kind) return name;
  return {};
}

request_kind request_kind_at(scenario kind, std::size_t index) {
  switch (kind) {
    case scenario::getpic:
      return request_kind::getpic;
    case scenario::putpic_password:
      return request_kind::putpic_password;
    case scenario::putpic_pixel:
      return request_kind::putpic_pixel;
    case scenario::list:
      return request_kind::list;
    case scenario::mixed:
      break;
  }
  return mixed_cycle[index % mixed_cycle.size()];
}

std::size_t parse_count(std::string_view line, std::string_view what) {
  const std::optional<std::size_t> count = client::line_count(line);
  if (!count)
    throw failure(std::string(what) + " answered " + quoted(line) +
                  " instead of a line count");
  return *count;
}

bool is_identifier(std::string_view text) {
  if (text.size() <= identifier_ending.size() ||
      !text.ends_with(identifier_ending))
    return false;
  text.remove_suffix(identifier_ending.size());
  return std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
  });
}

std::string_view check_pixel_answer(std::string_view line,
                                    std::size_t characters, int width,
                                    int height) {
  const std::size_t semicolon = line.find(';');
  if (semicolon == std::string_view::npos ||
      !is_identifier(line.substr(0, semicolon)))
    throw failure("putpic in pixel mode answered " + quoted(line));
  std::set<std::pair<unsigned, unsigned>> positions;
  std::string_view rest = line.substr(semicolon + 1);
  for (;;) {
    const std::size_t blank = rest.find(' ');
    unsigned x = 0;
    unsigned y = 0;
    if (!parse_position(rest.substr(0, blank), x, y) ||
        x >= static_cast<unsigned>(width) || y >= static_cast<unsigned>(height))
      throw failure("putpic in pixel mode answered a bad position in " +
                    quoted(line));
    if (!positions.emplace(x, y).second)
      throw failure("putpic in pixel mode answered a position twice in " +
                    quoted(line));
    if (blank == std::string_view::npos) break;
    rest.remove_prefix(blank + 1);
  }
  if (positions.size() != characters)
    throw failure("putpic in pixel mode answered " +
                  std::to_string(positions.size()) + " positions for " +
                  std::to_string(characters) + " characters");
  return line.substr(0, semicolon);
}

std::string putpic_request(std::string_view command, const picture& upload) {
  return std::string(command) + "\n" + client::block(upload.text);
}

std::size_t list_exchange(client::connection& peer) {
  static constexpr std::string_view request = "list\n";
  peer.send(request);
  const std::string count_line = peer.read_line();
  const std::size_t count = parse_count(count_line, "list");
  std::size_t bytes = request.size() + count_line.size() + 1;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string id = peer.read_line();
    if (!is_identifier(id))
      throw failure("list answered " + quoted(id) + " as an identifier");
    bytes += id.size() + 1;
  }
  return bytes;
}

workload::workload(scenario kind, picture upload, client::connection& setup)
    : upload_(std::move(upload)),
      password_request_(putpic_request(
          "putpic " + std::string(secret) + " " + std::string(password),
          upload_)),
      pixel_request_(putpic_request("putpic " + std::string(secret), upload_)) {
  if (kind == scenario::getpic || kind == scenario::mixed) learn_answer(setup);
}

std::size_t workload::exchange(client::connection& peer, request_kind kind) {
  switch (kind) {
    case request_kind::getpic:
      return fetch(peer);
    case request_kind::list:
      return list(peer);
    case request_kind::putpic_password:
    case request_kind::putpic_pixel:
      break;
  }
  return store(peer, kind);
}

std::size_t workload::upload_bytes() const {
  return password_request_.size() - password_request_.find('\n') - 1;
}

std::size_t workload::answer_bytes() const {
  return answer_count_line_.empty()
             ? 0
             : answer_count_line_.size() + 1 + answer_text_.size();
}

void workload::learn_answer(client::connection& setup) {
  setup.send(password_request_);
  const std::string id = setup.read_line();
  if (!is_identifier(id))
    throw failure("putpic in password mode answered " + quoted(id));
  remember(id);
  getpic_request_ = "getpic " + id + " " + std::string(password) + "\n";
  setup.send(getpic_request_);
  answer_count_line_ = setup.read_line();
  setup.read_lines(parse_count(answer_count_line_, "getpic"), answer_text_);
  check_stored_picture(answer_text_, upload_.text);
}

std::size_t workload::fetch(client::connection& peer) const {
  peer.send(getpic_request_);
  const std::string count_line = peer.read_line();
  if (count_line != answer_count_line_)
    throw failure("getpic answered " + quoted(count_line) + " instead of " +
                  quoted(answer_count_line_));
  // The count line matched, so the text that follows has the expected size.
  if (!peer.read_expected(answer_text_))
    throw failure("getpic answered a text that differs from the picture");
  return getpic_request_.size() + count_line.size() + 1 + answer_text_.size();
}

std::size_t workload::store(client::connection& peer, request_kind kind) {
  const bool pixel_mode = kind == request_kind::putpic_pixel;
  const std::string& request = pixel_mode ? pixel_request_ : password_request_;
  peer.send(request);
  const std::string answer = peer.read_line();
  if (pixel_mode) {
    remember(check_pixel_answer(answer, secret.size(), upload_.width,
                                upload_.height));
  } else {
    if (!is_identifier(answer))
      throw failure("putpic in password mode answered " + quoted(answer));
    remember(answer);
  }
  return request.size() + answer.size() + 1;
}

std::size_t workload::list(client::connection& peer) const {
  return list_exchange(peer);
}

void workload::remember(std::string_view id) {
  const std::lock_guard<std::mutex> lock(ids_mutex_);
  if (!ids_.emplace(id).second)
    throw failure("putpic answered the identifier " + std::string(id) +
                  " a second time");
}

}  // namespace loadgen
