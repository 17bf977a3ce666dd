// quarn-cli: a command-line client for the quarn picture service that
// converts between PNG and SNG on the way.
#include <iostream>
#include <new>

#include "cli/arguments.h"
#include "cli/commands.h"
#include "cli/failure.h"

int main(int argc, char** argv) {
  try {
    cli::run(cli::parse_arguments(argc, argv));
    if (!std::cout.flush())
      throw cli::failure("cannot write to standard output");
    return 0;
  } catch (const cli::usage_error& error) {
    std::cerr << "quarn-cli: " << error.message() << '\n';
    return 2;
  } catch (const cli::failure& error) {
    std::cerr << "quarn-cli: " << error.message() << '\n';
    return 1;
  } catch (const std::bad_alloc&) {
    std::cerr << "quarn-cli: out of memory\n";
    return 1;
  }
}
