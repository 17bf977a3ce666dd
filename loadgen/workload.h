// What the connections of one run send and what they must get back. Every
// answer is checked: a getpic answer must equal, byte for byte, the answer
// learnt when the run was set up; a putpic answer must be a new identifier
// (and, in pixel mode, one distinct in-picture position per character of the
// secret); a list answer must be a count and that many identifiers.
#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "client/connection.h"
#include "loadgen/picture.h"

namespace loadgen {

enum class scenario { getpic, putpic_password, putpic_pixel, list, mixed };
enum class request_kind { getpic, putpic_password, putpic_pixel, list };

// The scenario with this command-line name, if any, and the other way round.
std::optional<scenario> scenario_named(std::string_view name);
std::string_view scenario_name(scenario kind);

// The kind of request number `index` of a connection. Every scenario but
// mixed sends one kind only; mixed repeats a cycle of ten: seven getpic, one
// putpic in each mode and one list.
request_kind request_kind_at(scenario kind, std::size_t index);

// A whole-line decimal number, such as the count line of a block; throws
// failure, naming the command `what`, for anything else (an error answer
// such as "ERROR(NOTFOUND)" included).
std::size_t parse_count(std::string_view line, std::string_view what);

// Whether `text` is an identifier: lower-case hexadecimal digits and ".sng".
bool is_identifier(std::string_view text);

// The identifier of a pixel-mode putpic answer, "ID;x:y x:y ...", after
// checking that it holds `characters` distinct positions inside a picture
// of `width` x `height`. Throws failure.
std::string_view check_pixel_answer(std::string_view line,
                                    std::size_t characters, int width,
                                    int height);

// "putpic" request text: the command line, the count line and the
// picture's text.
std::string putpic_request(std::string_view command, const picture& upload);

// Sends list and checks the answer: a count and that many identifiers.
// Returns the bytes sent and received. Throws failure.
std::size_t list_exchange(client::connection& peer);

class workload {
 public:
  // For the scenarios that fetch, stores `upload` in password mode over
  // `setup`, fetches it once and checks that it came back with its secret,
  // its password and its pixel rows unchanged. Throws failure.
  workload(scenario kind, picture upload, client::connection& setup);
  workload(const workload&) = delete;
  workload& operator=(const workload&) = delete;

  // Sends one request, reads and checks its answer; returns the bytes sent
  // and received. Throws failure. Safe to call from many threads at once.
  std::size_t exchange(client::connection& peer, request_kind kind);

  // Bytes of a putpic upload: the count line and the SNG text.
  std::size_t upload_bytes() const;
  // Bytes of the getpic answer; 0 when the scenario fetches nothing.
  std::size_t answer_bytes() const;
  const picture& uploaded() const { return upload_; }

 private:
  void learn_answer(client::connection& setup);
  std::size_t fetch(client::connection& peer) const;
  std::size_t store(client::connection& peer, request_kind kind);
  std::size_t list(client::connection& peer) const;
  // Records a new identifier; throws failure when it was answered before.
  void remember(std::string_view id);

  picture upload_;
  std::string password_request_;  // putpic command, count line and text
  std::string pixel_request_;
  std::string getpic_request_;
  std::string answer_count_line_;  // the getpic answer's first line
  std::string answer_text_;        // and the lines after it

  std::mutex ids_mutex_;  // guards ids_
  std::unordered_set<std::string> ids_;
};

}  // namespace loadgen
