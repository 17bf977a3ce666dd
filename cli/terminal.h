// Reading a line from a terminal without showing it, for passwords typed at
// a prompt. The terminal is left as it was found on every path: a return, an
// exception, and a signal that ends or stops the process.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace cli {

// Whether `descriptor` is a terminal.
bool is_terminal(int descriptor);

// Writes `prompt` to standard error, reads one line from the terminal
// `descriptor` with echo switched off and returns it without its line feed;
// nothing at end of input. A hang-up, interrupt, quit, termination or stop
// signal meanwhile first restores the terminal and then takes its usual
// effect; after a stop the prompt is shown again. Throws failure when the
// terminal cannot be set or read, or the line is longer than `max_bytes`.
std::optional<std::string> read_unechoed_line(int descriptor,
                                              std::string_view prompt,
                                              std::size_t max_bytes);

}  // namespace cli
