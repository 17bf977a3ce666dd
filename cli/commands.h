// The tool's commands: list, put, get, convert and reveal.
#pragma once

#include "cli/arguments.h"

namespace cli {

// Runs the command that `args` names, or prints the help it asks for.
// Throws usage_error and failure.
void run(const arguments& args);

}  // namespace cli
