// Where quarn-cli takes passwords from: the command line (--password, seen
// by every user of the machine in the process list), the first line of a
// file or of standard input (--password-file), and a prompt on the terminal
// that does not show what is typed.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "cli/arguments.h"

namespace cli {

// Longest first line of a password file, line ending excluded, and longest
// password typed at a prompt: far above any password the service keeps.
constexpr std::size_t max_password_line_bytes = 64 * 1024;

// What a password is for: offering the one a picture was stored with, or
// choosing one for a new picture. A chosen password typed at a prompt is
// asked for twice, so that a slip of the finger does not lock the secret
// away.
enum class password_use { offer, choose };

// The passwords `options` give, in their order. A file's password is its
// first line without its line ending (a line feed, or a carriage return and
// a line feed); the rest of the file is ignored. "-" reads standard input,
// which is asked for at a prompt when it is a terminal. Throws usage_error
// when standard input is named more than once, and failure when a file
// cannot be read, is empty, its first line is empty or longer than
// max_password_line_bytes, or nothing is typed at a prompt.
std::vector<std::string> passwords_of(
    const std::vector<password_option>& options, password_use use);

// Whether a password can be asked for: standard input is a terminal.
bool can_prompt();

// A password typed at a prompt on standard input's terminal, after
// `prompt`; throws as passwords_of does for a prompt.
std::string prompt_password(const std::string& prompt, password_use use);

}  // namespace cli
