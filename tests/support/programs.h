// Other programs that tests run: iproute2's ip, the openssl tool, stunnel.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

// Runs `arguments` (the program, looked up in PATH, first) to its end, with
// standard output and standard error on `output` when one is given (else
// this process's); whether it exited with status 0.
bool run_program(const std::vector<std::string>& arguments,
                 const std::filesystem::path& output = {});

// Starts `arguments` with standard error on `error_output`; its process id.
// Throws std::runtime_error when it cannot be started.
pid_t start_program(const std::vector<std::string>& arguments,
                    const std::filesystem::path& error_output);
