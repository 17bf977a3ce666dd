#include "loadgen/hostile.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <utility>

#include "client/connection.h"
#include "loadgen/failure.h"
#include "loadgen/hostile_requests.h"
#include "loadgen/latency.h"
#include "loadgen/picture.h"
#include "loadgen/workload.h"

namespace loadgen {
namespace {

using clock = std::chrono::steady_clock;

// The secret and password of the scenarios' password-mode uploads.
constexpr std::string_view secret = "hostile-secret";
constexpr std::string_view password = "hostile-password";

// amplify: about 4 MiB of one-digit pixel words under a header that says
// bit depth 255. The service writes every sample as 63 digits, and four of
// them per pixel with the alpha flag: 253 bytes for every 2 uploaded.
constexpr int amplify_width = 1024;
constexpr int amplify_height = 2048;
constexpr int amplify_bitdepth = 255;

// Size of the picture the candidate scenarios store with their password.
constexpr std::size_t guarded_picture_bytes = 1024;
// blank-candidates: blanks after "getpic ID", each making an empty word.
constexpr std::size_t blank_candidates = 4'000'000;

// big-uploads: clients uploading at once, each 60 MiB of one-digit pixel
// words (8193-byte rows) at bit depth 8, within the 64 MiB and the
// 1,048,576-line limits of an upload.
constexpr int big_upload_clients = 16;
constexpr int big_upload_width = 4096;
constexpr int big_upload_height = 7680;

// non-readers: peers that ask for a large picture and never read, with a
// small receive buffer so that the answer stays with the service.
constexpr int non_readers = 20;
constexpr std::size_t non_readers_picture_bytes = 7 * 1024 * 1024;
constexpr int non_reader_receive_buffer_bytes = 4096;

// partial-lines: peers that each send a longest line without its line feed.
constexpr int partial_line_peers = 50;

// stego: the longest secret a command line holds, in a picture with just
// enough pixels for it (twice its bytes), at bit depth 8.
constexpr std::string_view stego_command = "putpic ";
constexpr int stego_width = 4096;
constexpr int stego_height = 2048;

// held-connections: connections opened and held; each connect waits at
// most held_connect_wait, and all of them together at most the answer wait.
constexpr int held_connections = 200;
constexpr std::chrono::seconds held_connect_wait{5};

// How long the held scenarios hold by default: past the 60 s after which a
// service may drop a stalled transfer, for the two whose peers stall, and
// a few seconds for held connections.
constexpr std::chrono::seconds stalled_hold{70};
constexpr std::chrono::seconds held_connections_hold{5};
// How long the service gets to see the held connections closed.
constexpr std::chrono::milliseconds release_settle{500};

// dictionary: the candidates of each getpic line, as a guessing client
// sends them.
constexpr std::size_t dictionary_words_per_line = 2'000;

constexpr std::array<std::pair<std::string_view, hostile_scenario>, 10>
    scenarios = {{
        {"amplify", hostile_scenario::amplify},
        {"costly-candidates", hostile_scenario::costly_candidates},
        {"one-byte-candidates", hostile_scenario::one_byte_candidates},
        {"blank-candidates", hostile_scenario::blank_candidates},
        {"big-uploads", hostile_scenario::big_uploads},
        {"non-readers", hostile_scenario::non_readers},
        {"partial-lines", hostile_scenario::partial_lines},
        {"stego", hostile_scenario::stego},
        {"held-connections", hostile_scenario::held_connections},
        {"dictionary", hostile_scenario::dictionary},
    }};

std::string mebibytes(std::uintmax_t bytes) {
  return fixed(static_cast<double>(bytes) / (1024.0 * 1024.0), 1) + " MiB";
}

double seconds_since(clock::time_point begin) {
  return static_cast<double>(nanoseconds_since(begin)) / 1e9;
}

// What one request got.
struct request_outcome {
  enum class kind { answered, closed, no_answer };
  kind what = kind::answered;
  std::string answer;  // the first answer line
  double seconds = 0;  // from the first byte sent
};

// Sends `request` and reads the first line of the answer, both by
// `deadline`.
request_outcome exchange(client::connection& peer, std::string_view request,
                         clock::time_point deadline) {
  const clock::time_point begin = clock::now();
  peer.set_deadline(deadline);
  try {
    peer.send(request);
  } catch (const peer_closed&) {
    // A service that refuses a request may answer and close before taking
    // all of it: the answer, if any, is waiting to be read.
  } catch (const timed_out&) {
    return {request_outcome::kind::no_answer, {}, seconds_since(begin)};
  }
  try {
    std::string answer = peer.read_line();
    return {request_outcome::kind::answered, std::move(answer),
            seconds_since(begin)};
  } catch (const peer_closed&) {
    return {request_outcome::kind::closed, {}, seconds_since(begin)};
  } catch (const timed_out&) {
    return {request_outcome::kind::no_answer, {}, seconds_since(begin)};
  }
}

// An answer as a report shows it: quoted, cut when long.
std::string shown(std::string_view answer) {
  constexpr std::size_t shown_bytes = 40;
  std::string text = "\"";
  text += answer.substr(0, shown_bytes);
  if (answer.size() <= shown_bytes) return text += '"';
  text += "...\" (";
  text += std::to_string(answer.size());
  return text += " bytes)";
}

// The kind of an answer, for counting many alike.
std::string answer_kind(std::string_view answer) {
  if (is_identifier(answer)) return "an identifier";
  const std::size_t semicolon = answer.find(';');
  if (semicolon != std::string_view::npos &&
      is_identifier(answer.substr(0, semicolon)))
    return "an identifier and positions";
  return shown(answer);
}

std::string within(std::chrono::seconds wait) {
  return "no answer within " + std::to_string(wait.count()) + " s";
}

std::string describe(const request_outcome& outcome,
                     std::chrono::seconds wait) {
  switch (outcome.what) {
    case request_outcome::kind::answered:
      return "answered " + shown(outcome.answer) + " in " +
             fixed(outcome.seconds, 2) + " s";
    case request_outcome::kind::closed:
      return "closed after " + fixed(outcome.seconds, 2) + " s";
    case request_outcome::kind::no_answer:
      break;
  }
  return within(wait);
}

// "15 answered an identifier, 1 no answer within 120 s": the outcomes
// counted by kind, in the order each kind first came.
std::string tally(const std::vector<request_outcome>& outcomes,
                  std::chrono::seconds wait) {
  std::vector<std::pair<std::string, int>> counts;
  for (const request_outcome& outcome : outcomes) {
    const std::string kind = outcome.what == request_outcome::kind::answered
                                 ? "answered " + answer_kind(outcome.answer)
                             : outcome.what == request_outcome::kind::closed
                                 ? "closed"
                                 : within(wait);
    auto found =
        std::find_if(counts.begin(), counts.end(),
                     [&](const auto& one) { return one.first == kind; });
    if (found == counts.end())
      counts.emplace_back(kind, 1);
    else
      ++found->second;
  }
  std::string text;
  for (const auto& [kind, count] : counts)
    text += (text.empty() ? "" : ", ") + std::to_string(count) + " " + kind;
  return text;
}

client::connection_settings patient(const hostile_settings& settings) {
  return {.wait_limit = settings.answer_wait};
}

std::string password_command() {
  return "putpic " + std::string(secret) + " " + std::string(password);
}

// Stores `upload` for a scenario's set-up; throws failure unless the
// service answers an identifier.
std::string store(client::connection& peer, std::string_view command,
                  const picture& upload) {
  peer.send(putpic_request(command, upload));
  const std::string answer = peer.read_line();
  if (!is_identifier(answer))
    throw failure("set-up: putpic answered " + shown(answer));
  return answer;
}

measurement make_measurement(const hostile_settings& settings) {
  return measurement(settings.pid, settings.host, settings.port,
                     settings.settle);
}

// Sends `bytes` on every peer by `deadline`; "50 sent whole" or the like.
std::string send_on_all(std::vector<client::connection>& peers,
                        std::string_view bytes, clock::time_point deadline,
                        std::chrono::seconds wait) {
  int sent = 0;
  int closed = 0;
  int stuck = 0;
  for (client::connection& peer : peers) {
    peer.set_deadline(deadline);
    try {
      peer.send(bytes);
      ++sent;
    } catch (const peer_closed&) {
      ++closed;
    } catch (const timed_out&) {
      ++stuck;
    }
  }
  std::string text = std::to_string(sent) + " sent whole";
  if (closed > 0) text += ", " + std::to_string(closed) + " closed";
  if (stuck > 0)
    text += ", " + std::to_string(stuck) + " not taken within " +
            std::to_string(wait.count()) + " s";
  return text;
}

int closed_or_answered(std::vector<client::connection>& peers) {
  return static_cast<int>(std::count_if(
      peers.begin(), peers.end(),
      [](client::connection& peer) { return peer.has_input_or_closed(); }));
}

// How many of `peers` the service has closed: each one's unread answer is
// read to its end, which a closed connection reaches at once.
int closed_by_the_service(std::vector<client::connection>& peers) {
  static constexpr std::chrono::seconds drain_wait{2};
  return static_cast<int>(
      std::count_if(peers.begin(), peers.end(), [](client::connection& peer) {
        peer.set_deadline(clock::now() + drain_wait);
        try {
          peer.bytes_until_closed();
          return true;
        } catch (const timed_out&) {
          return false;
        }
      }));
}

std::vector<client::connection> connect_all(
    const hostile_settings& settings, int count,
    const client::connection_settings& how) {
  std::vector<client::connection> peers;
  peers.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i)
    peers.emplace_back(settings.host, std::to_string(settings.port), how);
  return peers;
}

std::chrono::seconds hold_of(const hostile_settings& settings,
                             std::chrono::seconds standard) {
  return settings.hold.value_or(standard);
}

// Sends `request` once, on a connection of its own, and measures what it
// costs the service; the report has the cost and the outcome in words.
std::pair<hostile_report, request_outcome> measure_one_request(
    const hostile_settings& settings, measurement& meter,
    const std::string& request) {
  client::connection peer(settings.host, std::to_string(settings.port),
                          patient(settings));
  meter.begin();
  request_outcome outcome =
      exchange(peer, request, clock::now() + settings.answer_wait);
  hostile_report report;
  report.cost = meter.end();
  report.requests = 1;
  report.outcome = describe(outcome, settings.answer_wait);
  return {std::move(report), std::move(outcome)};
}

hostile_report amplify(const hostile_settings& settings) {
  const picture upload = make_word_picture(
      amplify_width, amplify_height, amplify_bitdepth, "alpha color", "f");
  const std::string request = putpic_request(password_command(), upload);
  measurement meter = make_measurement(settings);
  const std::optional<std::string> directory = meter.service().directory();
  auto [report, outcome] = measure_one_request(settings, meter, request);
  report.details.emplace_back("upload bytes",
                              std::to_string(upload.text.size()));
  if (directory && is_identifier(outcome.answer)) {
    std::error_code error;
    const auto stored =
        std::filesystem::file_size(*directory + "/db/" + outcome.answer, error);
    if (!error) {
      report.details.emplace_back("stored file bytes", std::to_string(stored));
      report.outcome += "; stored " + mebibytes(stored) + " from a " +
                        mebibytes(upload.text.size()) + " upload";
    }
  }
  return report;
}

// The getpic line of a candidates scenario, for the picture `id` guarded by
// `stored`.
std::string candidates_request(hostile_scenario kind, const std::string& id,
                               const std::string& stored) {
  switch (kind) {
    case hostile_scenario::costly_candidates:
      return candidates_line(id, longest_candidate_bytes(stored.size()),
                             distinct_bytes(stored), longest_line_bytes);
    case hostile_scenario::one_byte_candidates:
      return candidates_line(id, 1, distinct_bytes(stored), longest_line_bytes);
    default:
      return "getpic " + id + std::string(blank_candidates, ' ') + "\n";
  }
}

hostile_report candidates(const hostile_settings& settings,
                          hostile_scenario kind) {
  const std::string stored = hostile_password(longest_password_bytes);
  measurement meter = make_measurement(settings);
  client::connection peer(settings.host, std::to_string(settings.port),
                          patient(settings));
  const std::string id =
      store(peer, "putpic " + std::string(secret) + " " + stored,
            make_picture(guarded_picture_bytes));
  const std::string request = candidates_request(kind, id, stored);
  meter.begin();
  const request_outcome outcome =
      exchange(peer, request, clock::now() + settings.answer_wait);
  hostile_report report;
  report.cost = meter.end();
  report.requests = 1;
  report.outcome = describe(outcome, settings.answer_wait);
  report.details.emplace_back("stored password bytes",
                              std::to_string(stored.size()));
  report.details.emplace_back("line bytes", std::to_string(request.size() - 1));
  report.details.emplace_back(
      "candidates",
      std::to_string(std::count(request.begin(), request.end(), ' ') - 1));
  return report;
}

hostile_report big_uploads(const hostile_settings& settings) {
  const picture upload =
      make_word_picture(big_upload_width, big_upload_height, 8, "color", "f");
  const std::string request = putpic_request(password_command(), upload);
  measurement meter = make_measurement(settings);
  std::vector<client::connection> peers =
      connect_all(settings, big_upload_clients, patient(settings));
  std::vector<request_outcome> outcomes(peers.size());
  meter.begin();
  const clock::time_point deadline = clock::now() + settings.answer_wait;
  {
    std::vector<std::jthread> clients;
    for (std::size_t i = 0; i < peers.size(); ++i)
      clients.emplace_back(
          [&, i] { outcomes[i] = exchange(peers[i], request, deadline); });
  }
  hostile_report report;
  report.cost = meter.end();
  report.requests = peers.size();
  report.outcome = tally(outcomes, settings.answer_wait);
  report.details.emplace_back("upload bytes",
                              std::to_string(upload.text.size()));
  for (std::size_t i = 0; i < outcomes.size(); ++i)
    report.details.emplace_back("client " + std::to_string(i + 1),
                                describe(outcomes[i], settings.answer_wait));
  return report;
}

hostile_report non_readers_scenario(const hostile_settings& settings) {
  measurement meter = make_measurement(settings);
  std::string id;
  {
    client::connection setup(settings.host, std::to_string(settings.port),
                             patient(settings));
    id = store(setup, password_command(),
               make_picture(non_readers_picture_bytes));
  }
  std::vector<client::connection> peers =
      connect_all(settings, non_readers,
                  {.wait_limit = settings.answer_wait,
                   .receive_buffer_bytes = non_reader_receive_buffer_bytes});
  const std::chrono::seconds hold = hold_of(settings, stalled_hold);
  meter.begin();
  const std::string sent =
      send_on_all(peers, "getpic " + id + " " + std::string(password) + "\n",
                  clock::now() + settings.answer_wait, settings.answer_wait);
  std::this_thread::sleep_for(hold);
  hostile_report report;
  report.cost = meter.end();
  report.requests = peers.size();
  report.outcome = "getpic " + sent + ", answers left unread for " +
                   std::to_string(hold.count()) + " s; then " +
                   std::to_string(closed_by_the_service(peers)) +
                   " found closed";
  return report;
}

hostile_report partial_lines(const hostile_settings& settings) {
  measurement meter = make_measurement(settings);
  std::vector<client::connection> peers =
      connect_all(settings, partial_line_peers, patient(settings));
  const std::string line(longest_line_bytes, 'x');
  const std::chrono::seconds hold = hold_of(settings, stalled_hold);
  meter.begin();
  const std::string sent = send_on_all(
      peers, line, clock::now() + settings.answer_wait, settings.answer_wait);
  std::this_thread::sleep_for(hold);
  const int closed = closed_or_answered(peers);
  hostile_report report;
  report.cost = meter.end();
  report.requests = peers.size();
  report.outcome = sent + "; after " + std::to_string(hold.count()) + " s " +
                   std::to_string(closed) + " closed or answered";
  report.details.emplace_back("line bytes", std::to_string(line.size()));
  return report;
}

hostile_report stego(const hostile_settings& settings) {
  const picture upload =
      make_word_picture(stego_width, stego_height, 8, "color", "f");
  const std::string hidden =
      hostile_secret(longest_line_bytes - stego_command.size());
  const std::string request =
      putpic_request(std::string(stego_command) + hidden, upload);
  measurement meter = make_measurement(settings);
  auto [report, outcome] = measure_one_request(settings, meter, request);
  const std::size_t semicolon = outcome.answer.find(';');
  if (semicolon != std::string::npos)
    report.outcome =
        "answered an identifier and " +
        std::to_string(std::count(outcome.answer.begin() + semicolon,
                                  outcome.answer.end(), ' ') +
                       1) +
        " positions in " + fixed(outcome.seconds, 2) + " s";
  report.details.emplace_back("secret bytes", std::to_string(hidden.size()));
  report.details.emplace_back("upload bytes",
                              std::to_string(upload.text.size()));
  return report;
}

std::string describe(const list_sample& sample) {
  switch (sample.what) {
    case list_sample::result::answered:
      return "answered in " + fixed(sample.ns / 1e6, 1) + " ms";
    case list_sample::result::closed:
      return "refused or closed";
    case list_sample::result::no_answer:
      break;
  }
  return within(list_wait);
}

hostile_report held(const hostile_settings& settings) {
  measurement meter = make_measurement(settings);
  meter.begin();
  std::vector<client::connection> peers;
  int refused = 0;
  int not_accepted = 0;
  // A service that stops accepting leaves each connect to its wait limit;
  // the answer wait bounds them all together.
  const clock::time_point until = clock::now() + settings.answer_wait;
  for (int i = 0; i < held_connections; ++i) {
    if (clock::now() >= until) {
      ++not_accepted;
      continue;
    }
    try {
      peers.emplace_back(
          settings.host, std::to_string(settings.port),
          client::connection_settings{.wait_limit = held_connect_wait});
    } catch (const peer_closed&) {
      ++refused;
    } catch (const timed_out&) {
      ++not_accepted;
    }
  }
  const std::chrono::seconds hold = hold_of(settings, held_connections_hold);
  std::this_thread::sleep_for(hold);
  const int closed = closed_or_answered(peers);
  const bool survived = meter.service().running();
  const list_sample fresh = sample_list_once(settings.host, settings.port);
  const std::size_t connected = peers.size();
  // Once the held connections go, the service must serve again.
  peers.clear();
  std::this_thread::sleep_for(release_settle);
  const list_sample released = sample_list_once(settings.host, settings.port);
  hostile_report report;
  report.cost = meter.end();
  report.requests = held_connections;
  report.outcome = std::string(survived ? "service running" : "service ended") +
                   "; " + std::to_string(connected) + " connected";
  if (refused > 0)
    report.outcome += ", " + std::to_string(refused) + " refused";
  if (not_accepted > 0)
    report.outcome += ", " + std::to_string(not_accepted) +
                      " not connected within " +
                      std::to_string(held_connect_wait.count()) + " s";
  report.outcome += "; after " + std::to_string(hold.count()) + " s " +
                    std::to_string(closed) +
                    " closed or answered; a fresh list " + describe(fresh) +
                    "; once they are released, a fresh list " +
                    describe(released);
  return report;
}

// What the answers to guessing lines said.
struct guessing_outcome {
  std::size_t answered = 0;  // lines answered
  // The first line answered with the picture, counted from 1.
  std::optional<std::size_t> opened_by;
  // Why the answers stopped before the last line; empty when they did not.
  std::string stopped;
};

// Sends the getpic lines `request`, `lines` of them, and reads their answers,
// by the connection's deadline.
guessing_outcome send_guesses(client::connection& peer,
                              std::string_view request, std::size_t lines) {
  guessing_outcome outcome;
  try {
    try {
      peer.send(request);
    } catch (const peer_closed&) {
      // Answers to the lines taken before may be waiting to be read.
    }
    while (outcome.answered < lines) {
      const std::string answer = peer.read_line();
      if (answer != "ERROR(PASSWORD)") {
        std::string picture;
        peer.read_lines(parse_count(answer, "getpic"), picture);
        if (!outcome.opened_by) outcome.opened_by = outcome.answered + 1;
      }
      ++outcome.answered;
    }
  } catch (const peer_closed&) {
    outcome.stopped = "closed";
  } catch (const timed_out&) {
    outcome.stopped = "no answer";
  } catch (const failure& wrong) {
    outcome.stopped = wrong.message();
  }
  return outcome;
}

// The candidates of the first `lines` getpic lines of a dictionary of
// `words` words.
std::size_t guesses_in(std::size_t lines, std::size_t words) {
  return std::min(lines * dictionary_words_per_line, words);
}

// "opened after 50000 guesses (line 25 of 50); 1000000 guesses/s": the
// guesses counted to the end of the line that opened the picture, since an
// answer does not say which candidate passed.
std::string describe(const guessing_outcome& outcome, std::size_t lines,
                     std::size_t words, const std::string& rate) {
  const std::string of_lines = " of " + std::to_string(lines);
  std::string text =
      outcome.opened_by
          ? "opened after " +
                std::to_string(guesses_in(*outcome.opened_by, words)) +
                " guesses (line " + std::to_string(*outcome.opened_by) +
                of_lines + ")"
          : "not opened";
  text += "; " + rate + " guesses/s";
  if (!outcome.stopped.empty())
    text += "; " + outcome.stopped + " after " +
            std::to_string(outcome.answered) + of_lines + " lines";
  return text;
}

// One address guesses the password of a picture from a dictionary, sending
// every word at once in getpic lines of many candidates. The guesses per
// second are the candidates of the lines answered over the time from the
// first byte sent to the last answer read.
hostile_report dictionary(const hostile_settings& settings) {
  const std::vector<std::string> words = dictionary_words(dictionary_size);
  measurement meter = make_measurement(settings);
  client::connection peer(settings.host, std::to_string(settings.port),
                          patient(settings));
  const std::string id = store(
      peer,
      "putpic " + std::string(secret) + " " + words[dictionary_password_index],
      make_picture(guarded_picture_bytes));
  const std::vector<std::string> lines =
      guessing_lines(id, words, dictionary_words_per_line);
  std::string request;
  for (const std::string& line : lines) request += line;
  meter.begin();
  const clock::time_point begin = clock::now();
  peer.set_deadline(begin + settings.answer_wait);
  const guessing_outcome outcome = send_guesses(peer, request, lines.size());
  const double seconds = seconds_since(begin);
  hostile_report report;
  report.cost = meter.end();
  report.requests = lines.size();
  const std::string rate = fixed(
      static_cast<double>(guesses_in(outcome.answered, words.size())) / seconds,
      0);
  report.outcome = describe(outcome, lines.size(), words.size(), rate);
  report.details = {
      {"dictionary words", std::to_string(words.size())},
      {"password position", std::to_string(dictionary_password_index + 1)},
      {"getpic lines", std::to_string(lines.size()) + " of up to " +
                           std::to_string(dictionary_words_per_line) +
                           " candidates, " + std::to_string(request.size()) +
                           " bytes in all"},
      {"lines answered", std::to_string(outcome.answered)},
      {"seconds until the answers", fixed(seconds, 3)},
      {"guesses per second", rate},
  };
  return report;
}

}  // namespace

std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::optional<hostile_scenario> hostile_scenario_named(std::string_view name) {
  for (const auto& [scenario_name, kind] : scenarios)
    if (scenario_name == name) return kind;
  return std::nullopt;
}

std::string_view hostile_scenario_name(hostile_scenario kind) {
  for (const auto& [name, named_kind] : scenarios)
    if (named_kind == kind) return name;
  return {};
}

std::string hostile_scenario_names() {
  std::string names;
  for (const auto& [name, kind] : scenarios)
    (names += names.empty() ? "" : " ") += name;
  return names;
}

hostile_report run_hostile(hostile_scenario kind,
                           const hostile_settings& settings) {
  switch (kind) {
    case hostile_scenario::amplify:
      return amplify(settings);
    case hostile_scenario::costly_candidates:
    case hostile_scenario::one_byte_candidates:
    case hostile_scenario::blank_candidates:
      return candidates(settings, kind);
    case hostile_scenario::big_uploads:
      return big_uploads(settings);
    case hostile_scenario::non_readers:
      return non_readers_scenario(settings);
    case hostile_scenario::partial_lines:
      return partial_lines(settings);
    case hostile_scenario::stego:
      return stego(settings);
    case hostile_scenario::dictionary:
      return dictionary(settings);
    case hostile_scenario::held_connections:
      break;
  }
  return held(settings);
}

}  // namespace loadgen
