// The command that adds to the store: putpic, in password mode (secret and
// password) and in pixel mode (secret hidden in random pixels).
#include <chrono>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "net/limits.h"
#include "service/quarn.h"
#include "sng/strlib.h"
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

// Whether the text hidden at `positions` reads back from the picture's
// stored form, so that the positions answered are worth having.
bool hidden_text_survives_storing(const sng& picture,
                                  const std::vector<pixel>& positions,
                                  const std::string& text) {
  try {
    return stego::get(sng(picture.to_raw_string()), positions) == text;
  } catch (const sng::parse_error&) {
    return false;
  }
}

// Stores the picture; sends "ERROR(DBWRITE)" and returns nothing on failure.
std::optional<std::string> store(std::shared_ptr<client>& connection,
                                 const sng& picture) {
  try {
    return sng_storage::instance()->put_item(picture);
  } catch (const sng_storage::write_error&) {
    connection->sendStringEndl("ERROR(DBWRITE)");
    return std::nullopt;
  }
}

void store_with_hidden_text(std::shared_ptr<client>& connection, sng& picture,
                            const std::string& text) {
  init_time(picture);
  const std::vector<pixel> positions = stego::put(picture, text);
  if (positions.empty() ||
      !hidden_text_survives_storing(picture, positions, text)) {
    connection->sendStringEndl("ERROR(STEGO)");
    return;
  }
  if (const auto id = store(connection, picture)) {
    std::string answer = ";";
    answer += join(positions, " ");
    connection->sendString(*id);
    connection->sendStringEndl(answer);
  }
}

// Whether the picture's written text reads back whole: rows of no pixels are
// written as empty lines, which reading skips.
bool reads_back(const sng& picture) {
  return picture.width() != 0 || picture.height() <= 0;
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

void store_with_password(std::shared_ptr<client>& connection, sng& picture,
                         const std::string& text, const std::string& password) {
  picture.private_("PASW", password);
  picture.keyword("flag");
  picture.text(text);
  if (const auto id = store(connection, picture))
    connection->sendStringEndl(*id);
}

}  // namespace

void put_picture(std::shared_ptr<client>& connection,
                 const std::vector<std::string>& words) {
  std::optional<sng> picture;
  try {
    picture.emplace(receive_upload(*connection));
  } catch (const sng::parse_error&) {
    connection->sendStringEndl("ERROR(PARSE)");
    return;
  }
  if (!reads_back(*picture))
    connection->sendStringEndl("ERROR(PARSE)");
  else if (words.size() == 2 && pixel_mode_fits(*picture))
    store_with_hidden_text(connection, *picture, words[1]);
  else if (words.size() == 3 && password_mode_fits(words[1], words[2]))
    store_with_password(connection, *picture, words[1], words[2]);
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
