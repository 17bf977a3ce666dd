// The command that adds to the store: putpic, in password mode (secret and
// password) and in pixel mode (secret hidden in random pixels).
#include <algorithm>
#include <charconv>
#include <chrono>
#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "net/limits.h"
#include "service/quarn.h"
#include "stego/stego.h"
#include "storage/storage.h"

namespace {

// While it lives, the upload is one transfer: a peer that pauses for the
// stall time, or that has not sent it whole by the deadline, loses the
// connection.
class stall_guard {
 public:
  explicit stall_guard(client& connection) : connection_(connection) {
    connection_.beginTransfer();
  }
  ~stall_guard() { connection_.endTransfer(); }
  stall_guard(const stall_guard&) = delete;
  stall_guard& operator=(const stall_guard&) = delete;

 private:
  client& connection_;
};

// The count line and that many lines of SNG text.
std::string receive_upload(client& connection) {
  stall_guard guard(connection);
  const int lines = string_to_int(connection.receiveString());
  if (lines > max_upload_lines) throw client::limit_error();
  return connection.receiveAll(lines, max_upload_bytes);
}

// A reader's memory hook that takes what the reader reserves from
// `account`.
sng::reserve_memory taking_from(memory_account& account) {
  return [&account](std::size_t bytes) { account.take(bytes); };
}

// The upload parsed into a picture, whose memory is taken from `account`;
// nothing (after answering "ERROR(PARSE)") when it is no picture.
std::optional<sng> receive_picture(std::shared_ptr<client>& connection,
                                   memory_account& account) {
  const std::size_t before = account.held();
  std::optional<sng> picture;
  try {
    picture.emplace(receive_upload(*connection), taking_from(account));
  } catch (const sng::parse_error&) {
    connection->sendStringEndl("ERROR(PARSE)");
    return std::nullopt;
  }
  // The upload is gone; what parsing took beyond the picture is given back.
  account.hold(before + picture->memory_size());
  return picture;
}

// Whether a picture can keep this secret and password so that they read
// back as given: the text chunk that holds the secret ends at "}", and the
// password stands between double quotes in a chunk that ends at "}".
bool password_mode_fits(const std::string& secret,
                        const std::string& password) {
  return secret.find('}') == std::string::npos &&
         password.find_first_of("\"}") == std::string::npos &&
         password.size() <= max_password_bytes;
}

// Whether a pixel-mode upload's own password is one the service stores.
bool pixel_mode_fits(const sng& picture) {
  return picture.private_("PASW").size() <= max_password_bytes;
}

// The picture's SNG text as the store will keep it, its memory taken from
// `account`. Decided before the text is built: a text longer than the
// service writes is a request past the protocol's limits.
std::string written_text(const sng& picture, memory_account& account) {
  const std::size_t size = picture.raw_size();
  if (size > max_picture_bytes) throw client::limit_error();
  account.take(size);
  return picture.to_raw_string(size);
}

// Stores the written text; sends "ERROR(DBWRITE)" and returns nothing on
// failure.
std::optional<std::string> store(std::shared_ptr<client>& connection,
                                 const std::string& text) {
  try {
    return sng_storage::instance()->put_text(text);
  } catch (const sng_storage::write_error&) {
    connection->sendStringEndl("ERROR(DBWRITE)");
    return std::nullopt;
  }
}

// Memory hiding `length` bytes in `picture` takes: the positions, at most
// one bit per pixel to tell the used ones, and, for rows held as indices in
// a picture whose header names no palette, the same rows as colours, which
// the hidden bits widen them to.
std::size_t hiding_bytes(std::size_t length, const sng& picture) {
  const sng_IMAGE& image = picture.chunk_IMAGE();
  const bool widens = image.stored() == sng_IMAGE::layout::index &&
                      !picture.chunk_IHDR().palette;
  return length * sizeof(pixel) + image.pixel_count() / 8 +
         (widens ? sng_IMAGE::memory_for(image.pixel_count(),
                                         sng_IMAGE::layout::byte_samples)
                 : 0);
}

// Whether the text hidden at `positions` reads back from the stored text,
// so that the positions answered are worth having.
bool hidden_text_reads_back(const std::string& stored,
                            const std::vector<pixel>& positions,
                            const std::string& secret,
                            memory_account& account) {
  const std::size_t before = account.held();
  bool same = false;
  try {
    same = stego::get(sng(stored, taking_from(account)), positions) == secret;
  } catch (const sng::parse_error&) {
  }
  account.hold(before);
  return same;
}

// The most bytes the pixel-mode answer for `count` positions takes.
std::size_t positions_answer_bytes(std::size_t count) {
  constexpr std::size_t longest_id = sizeof("ffffffff.sng");
  constexpr std::size_t longest_position = sizeof("4294967295:4294967295");
  return longest_id + count * longest_position;
}

// The pixel-mode answer: the identifier, ";" and the positions, each x, ":"
// and y in decimal, separated by single blanks; built at its final length
// in memory the caller has taken.
std::string positions_answer(const std::string& id,
                             const std::vector<pixel>& positions) {
  std::string answer(positions_answer_bytes(positions.size()), '\0');
  char* const last = answer.data() + answer.size();
  char* end = std::copy(id.begin(), id.end(), answer.data());
  char separator = ';';
  for (const pixel& position : positions) {
    *end++ = std::exchange(separator, ' ');
    end = std::to_chars(end, last, position.x).ptr;
    *end++ = ':';
    end = std::to_chars(end, last, position.y).ptr;
  }
  answer.resize(static_cast<std::size_t>(end - answer.data()));
  return answer;
}

void store_with_hidden_text(std::shared_ptr<client>& connection,
                            std::optional<sng>& picture,
                            const std::string& secret,
                            memory_account& account) {
  init_time(*picture);
  account.take(hiding_bytes(secret.size(), *picture));
  const std::vector<pixel> positions = stego::put(*picture, secret);
  if (positions.empty()) {
    connection->sendStringEndl("ERROR(STEGO)");
    return;
  }
  const std::string text = written_text(*picture, account);
  const std::size_t picture_bytes = picture->memory_size();
  picture.reset();
  account.give_back(picture_bytes);
  if (!hidden_text_reads_back(text, positions, secret, account)) {
    connection->sendStringEndl("ERROR(STEGO)");
    return;
  }
  // Taken before storing: once the picture is stored, its answer must not
  // wait for memory or be refused.
  account.take(positions_answer_bytes(positions.size()));
  if (const auto id = store(connection, text))
    connection->sendStringEndl(positions_answer(*id, positions));
}

void store_with_password(std::shared_ptr<client>& connection, sng& picture,
                         const std::string& secret, const std::string& password,
                         memory_account& account) {
  picture.private_("PASW", password);
  picture.keyword("flag");
  picture.text(secret);
  if (const auto id = store(connection, written_text(picture, account)))
    connection->sendStringEndl(*id);
}

}  // namespace

void put_picture(std::shared_ptr<client>& connection,
                 const std::vector<std::string>& words,
                 memory_account& account) {
  std::optional<sng> picture = receive_picture(connection, account);
  if (!picture) return;
  if (!picture->reads_back())
    connection->sendStringEndl("ERROR(PARSE)");
  else if (words.size() == 2 && pixel_mode_fits(*picture))
    store_with_hidden_text(connection, picture, words[1], account);
  else if (words.size() == 3 && password_mode_fits(words[1], words[2]))
    store_with_password(connection, *picture, words[1], words[2], account);
  else
    connection->sendStringEndl("ERROR(ARG)");
}

void init_time(sng& picture) {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  ::gmtime_r(&now, &utc);
  picture.time(static_cast<short>(utc.tm_year + 1900),
               static_cast<unsigned char>(utc.tm_mon + 1),
               static_cast<unsigned char>(utc.tm_mday),
               static_cast<unsigned char>(utc.tm_hour),
               static_cast<unsigned char>(utc.tm_min),
               static_cast<unsigned char>(utc.tm_sec));
}
