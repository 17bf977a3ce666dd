// quarn-cli: a command-line client for the quarn picture service that
// converts between PNG and SNG on the way.
#include <iostream>
#include <new>
#include <string>

#include "cli/arguments.h"
#include "cli/commands.h"
#include "client/errors.h"

namespace {

// Prints `message` as the tool's one line on standard error; returns
// `status`.
int fail(const std::string& message, int status) {
  std::cerr << "quarn-cli: " << message << '\n';
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    cli::run(cli::parse_arguments(argc, argv));
    if (!std::cout.flush())
      throw client::failure("cannot write to standard output");
    return 0;
  } catch (const client::usage_error& error) {
    return fail(error.message(), 2);
  } catch (const client::error& error) {
    return fail(error.message(), 1);
  } catch (const std::bad_alloc&) {
    return fail("out of memory", 1);
  }
}
