// quarn-hostile's scenarios: each drives one hostile request or mix against
// a running service and measures what it costs the service (see
// measurement.h). A scenario bounds every wait: a request that gets no
// answer within the answer wait is reported as such, and the scenario goes
// on.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "loadgen/measurement.h"

namespace loadgen {

enum class hostile_scenario {
  amplify,              // putpic whose bit depth makes the stored text huge
  costly_candidates,    // getpic with the longest candidates compared
  one_byte_candidates,  // getpic with millions of one-byte candidates
  blank_candidates,     // getpic ID and millions of blanks
  big_uploads,          // 16 clients uploading 60 MiB pictures at once
  non_readers,          // getpic of a large picture, answers never read
  partial_lines,        // 4 MiB lines without their line feed
  stego,                // pixel-mode putpic of a 4 MiB secret
  held_connections,     // more connections than the service has descriptors
  dictionary,           // a whole dictionary of guesses at a picture's password
};

std::optional<hostile_scenario> hostile_scenario_named(std::string_view name);
std::string_view hostile_scenario_name(hostile_scenario kind);
// Every scenario's name, separated by blanks.
std::string hostile_scenario_names();

struct hostile_settings {
  std::string host = "127.0.0.1";
  int port = 18360;
  int pid = 0;  // the service's process
  // Longest wait for an answer, or for an upload to be taken, counted from
  // the request's first byte.
  std::chrono::seconds answer_wait{120};
  // How long the held scenarios (non-readers, partial-lines,
  // held-connections) hold their connections; none: each one's default.
  std::optional<std::chrono::seconds> hold;
  // Longest wait for the service to go idle at the end.
  std::chrono::seconds settle{60};
};

struct hostile_report {
  std::size_t requests = 0;  // hostile requests or connections
  std::string outcome;       // one line: what the requests got
  std::vector<std::pair<std::string, std::string>> details;
  service_cost cost;
};

// `value` with `decimals` digits after the point, as reports show numbers.
std::string fixed(double value, int decimals);

// Runs the scenario against the service; throws failure when its set-up
// (storing the pictures it needs) does not succeed.
hostile_report run_hostile(hostile_scenario kind,
                           const hostile_settings& settings);

}  // namespace loadgen
