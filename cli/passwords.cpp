#include "cli/passwords.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>

#include "cli/terminal.h"
#include "client/errors.h"

namespace cli {

using client::failure;
using client::usage_error;

namespace {

// The file name that stands for standard input.
constexpr std::string_view standard_input = "-";

std::string name_of(const std::string& path) {
  return path == standard_input ? "standard input" : path;
}

// A descriptor to read a password file from; standard input is left open.
class input_file {
 public:
  explicit input_file(const std::string& path)
      : owned_(path != standard_input),
        descriptor_(owned_ ? ::open(path.c_str(), O_RDONLY | O_CLOEXEC)
                           : STDIN_FILENO) {
    if (descriptor_ < 0)
      throw failure("cannot read " + path + ": " + std::strerror(errno));
  }
  ~input_file() {
    if (owned_) ::close(descriptor_);
  }
  input_file(const input_file&) = delete;
  input_file& operator=(const input_file&) = delete;

  int descriptor() const { return descriptor_; }

 private:
  bool owned_;
  int descriptor_;
};

// Drops the carriage return of a line that ended in CR LF.
void drop_carriage_return(std::string& line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
}

// The bytes of `descriptor` up to its first line feed, or to its end when
// it has none; nothing when it has no byte at all. Reading stops at the
// chunk that holds the line feed, or past max_password_line_bytes.
std::optional<std::string> first_line(int descriptor, const std::string& name) {
  std::string bytes;
  bool any = false;
  char chunk[4096];
  while (bytes.size() <= max_password_line_bytes + 1) {
    const ssize_t count = ::read(descriptor, chunk, sizeof chunk);
    if (count < 0) {
      if (errno == EINTR) continue;
      throw failure("cannot read " + name + ": " + std::strerror(errno));
    }
    if (count == 0) break;
    any = true;
    const std::size_t searched = bytes.size();
    bytes.append(chunk, static_cast<std::size_t>(count));
    const std::size_t feed = bytes.find('\n', searched);
    if (feed != std::string::npos) {
      bytes.resize(feed);
      break;
    }
  }
  if (!any) return std::nullopt;
  drop_carriage_return(bytes);
  return bytes;
}

std::string password_from_file(const std::string& path) {
  const std::string name = name_of(path);
  const input_file file(path);
  const std::optional<std::string> line = first_line(file.descriptor(), name);
  if (!line)
    throw failure(name +
                  " is empty; it should hold the password on its "
                  "first line");
  if (line->empty())
    throw failure("the first line of " + name +
                  " is empty; it should hold the password");
  if (line->size() > max_password_line_bytes)
    throw failure("the first line of " + name + " is longer than " +
                  std::to_string(max_password_line_bytes) +
                  " bytes; it should hold the password alone");
  return *line;
}

// One password typed at the prompt `prompt`.
std::string typed_password(const std::string& prompt) {
  std::optional<std::string> line =
      read_unechoed_line(STDIN_FILENO, prompt, max_password_line_bytes);
  if (line) drop_carriage_return(*line);
  if (!line || line->empty()) throw failure("no password typed");
  return *line;
}

std::string password_of(const password_option& option, password_use use) {
  if (option.from == password_option::source::command_line) return option.text;
  if (option.text == standard_input && can_prompt())
    return prompt_password(
        use == password_use::choose ? "New password: " : "Password: ", use);
  return password_from_file(option.text);
}

bool is_standard_input(const password_option& option) {
  return option.from == password_option::source::file &&
         option.text == standard_input;
}

}  // namespace

std::vector<std::string> passwords_of(
    const std::vector<password_option>& options, password_use use) {
  if (std::count_if(options.begin(), options.end(), is_standard_input) > 1)
    throw usage_error(
        "standard input holds one password: --password-file - is given more "
        "than once");
  std::vector<std::string> passwords;
  for (const password_option& option : options)
    passwords.push_back(password_of(option, use));
  return passwords;
}

bool can_prompt() { return is_terminal(STDIN_FILENO); }

std::string prompt_password(const std::string& prompt, password_use use) {
  const std::string password = typed_password(prompt);
  if (use == password_use::choose &&
      typed_password("The same password again: ") != password)
    throw failure("the two passwords typed differ");
  return password;
}

}  // namespace cli
