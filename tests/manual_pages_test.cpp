// Each tool's manual page documents exactly the options its --help lists:
// the same option names, each shown with the same value words. The page's
// SYNOPSIS, COMMANDS and OPTIONS sections are compared with everything the
// help prints, a tool with commands included with each command's help.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Every option named, with the value words it is shown with: "-h" with
// {"HOST"}; an option never shown with a value has none.
using option_table = std::map<std::string, std::set<std::string>>;

std::string output_of(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  std::string output;
  char chunk[4096];
  for (std::size_t count; (count = std::fread(chunk, 1, sizeof chunk, pipe));)
    output.append(chunk, count);
  ::pclose(pipe);
  return output;
}

// A value word as a synopsis shows it, without what closes the brackets
// around its option or repeats it: "PW]..." is PW, "NAME[:PORT]]" NAME[:PORT].
std::string bare_value(std::string value) {
  for (;;) {
    const auto opened = std::count(value.begin(), value.end(), '[');
    const auto closed = std::count(value.begin(), value.end(), ']');
    if (value.ends_with("..."))
      value.resize(value.size() - 3);
    else if (value.ends_with(',') || value.ends_with(';') ||
             (value.ends_with(']') && closed > opened))
      value.pop_back();
    else
      return value;
  }
}

// The options that `text` names: a word that starts with "-" and a letter,
// and the value word after it on the same line, in capitals or in double
// quotes.
option_table options_in(const std::string& text) {
  const std::string flowing =
      std::regex_replace(text, std::regex("[ \\t]+"), " ");
  static const std::regex option(
      "(?:^|[\\s\\[|(])(--?[A-Za-z][A-Za-z0-9-]*)(?![A-Za-z0-9-])"
      "(?: (\"[^\"]*\"|[A-Z]\\S*))?");
  option_table options;
  for (std::sregex_iterator match(flowing.begin(), flowing.end(), option), end;
       match != end; ++match) {
    auto& values = options[(*match)[1]];
    if ((*match)[2].matched) values.insert(bare_value((*match)[2]));
  }
  return options;
}

// A tool's help, and with a "Commands:" list each command's help after it.
std::string whole_help(const std::string& program) {
  const std::string help = output_of("'" + program + "' --help");
  std::string whole = help;
  const std::string heading = "\nCommands:\n";
  const auto commands = help.find(heading);
  if (commands == std::string::npos) return whole;
  std::istringstream lines(help.substr(commands + heading.size()));
  for (std::string line; std::getline(lines, line) && !line.empty();) {
    std::istringstream words(line);
    std::string command;
    words >> command;
    whole += output_of("'" + program + "' " + command + " --help");
  }
  return whole;
}

// A roff line's text: font changes dropped, the escapes for dashes, quotes
// and spaces resolved.
std::string roff_text(std::string_view roff) {
  std::string text;
  for (std::size_t i = 0; i < roff.size(); ++i) {
    if (roff[i] != '\\' || i + 1 == roff.size()) {
      text += roff[i];
      continue;
    }
    const char escape = roff[++i];
    if (escape == 'f') {  // \fB, \f(CW, \f[BI]
      if (roff.substr(i + 1, 1) == "(")
        i += 3;
      else if (roff.substr(i + 1, 1) == "[")
        i = roff.find(']', i);
      else
        ++i;
    } else if (escape == '(') {  // \(dq, \(aq, \(ha
      const std::string_view name = roff.substr(i + 1, 2);
      text += name == "dq" ? '"' : name == "aq" ? '\'' : '^';
      i += 2;
    } else if (escape == ' ' || escape == '~') {
      text += ' ';
    } else if (escape == 'e') {
      text += '\\';
    } else if (escape != '&' && escape != '%' && escape != 'c') {
      text += escape;  // \- and the like
    }
  }
  return text;
}

// A request line's arguments: split at blanks, a double-quoted argument
// holding blanks, escapes kept for roff_text.
std::vector<std::string> request_arguments(std::string_view line) {
  std::vector<std::string> arguments;
  std::string current;
  bool quoted = false, started = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\\' && i + 1 < line.size()) {
      current += line.substr(i++, 2);
    } else if (c == '"' && !started) {
      quoted = true;
    } else if (c == '"' && quoted) {
      quoted = false;
    } else if (c == ' ' && !quoted) {
      if (started) arguments.push_back(current);
      current.clear();
      started = false;
      continue;
    } else {
      current += c;
    }
    started = true;
  }
  if (started) arguments.push_back(current);
  return arguments;
}

// The text a request line of the man(7) macros prints.
std::string request_text(const std::string& line) {
  std::vector<std::string> arguments = request_arguments(line);
  const std::string macro = arguments.front().substr(1);
  arguments.erase(arguments.begin());
  std::string text;
  // .BR, .IR, .RB and the like: fonts alternating without blanks.
  const bool alternating =
      macro.size() == 2 && macro.find_first_not_of("BIR") == std::string::npos;
  for (const std::string& argument : arguments)
    text += (text.empty() || alternating ? "" : " ") + roff_text(argument);
  if (macro == "OP") return "[" + text + "]";
  if (macro == "B" || macro == "I" || macro == "SY" || alternating) return text;
  return "";
}

// The text of the SYNOPSIS, COMMANDS and OPTIONS sections of a man page.
std::string page_text(const std::string& path) {
  std::ifstream page(path);
  std::string text, section;
  for (std::string line; std::getline(page, line);) {
    if (line.starts_with(".SH ")) {
      section = roff_text(line.substr(4));
    } else if (section == "SYNOPSIS" || section == "COMMANDS" ||
               section == "OPTIONS") {
      text +=
          (line.starts_with(".") ? request_text(line) : roff_text(line)) + "\n";
    }
  }
  return text;
}

std::string listed(const std::set<std::string>& values) {
  std::string list;
  for (const std::string& value : values) list += " " + value;
  return values.empty() ? " no value" : list;
}

// What differs between the options of --help and those of the page, a line
// each.
std::string differences(const option_table& help, const option_table& page) {
  std::string report;
  for (const auto& [name, values] : help) {
    const auto documented = page.find(name);
    if (documented == page.end())
      report += "--help has " + name + ", the page has not\n";
    else if (documented->second != values)
      report += name + " takes" + listed(values) + " in --help, but" +
                listed(documented->second) + " in the page\n";
  }
  for (const auto& [name, values] : page)
    if (!help.contains(name))
      report += "the page has " + name + ", --help has not\n";
  return report;
}

void expect_same_options(const std::string& program, const std::string& page) {
  const option_table help = options_in(whole_help(program));
  ASSERT_TRUE(help.contains("--help")) << program << " --help printed nothing";
  EXPECT_EQ("", differences(help, options_in(page_text(page))))
      << "between " << program << " --help and " << page;
}

TEST(manual_pages, of_quarn_cli_list_the_options_of_its_help) {
  expect_same_options(QUARN_CLI_BINARY, QUARN_MAN_DIR "/quarn-cli.1");
}

TEST(manual_pages, of_quarn_web_list_the_options_of_its_help) {
  expect_same_options(QUARN_WEB_BINARY, QUARN_MAN_DIR "/quarn-web.1");
}

TEST(manual_pages, of_quarn_bench_list_the_options_of_its_help) {
  expect_same_options(QUARN_BENCH_BINARY, QUARN_MAN_DIR "/quarn-bench.1");
}

}  // namespace
