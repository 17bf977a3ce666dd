// Runs a piece of a test in a process and working directory of its own, for
// code that keeps process-wide state bound to the working directory (the
// picture store is created once per process and works in "./").
#pragma once

#include <functional>

// Runs `scenario` in a child process whose working directory is a new, empty
// directory, waits for it and removes the directory. The calling test fails
// when the scenario records a failure, throws, or the child ends any other
// way; the scenario's own failure messages appear in the output as usual.
void run_in_fresh_directory(const std::function<void()>& scenario);
