// Checking the service's log lines against patterns.
#pragma once

#include <string>

// Whether `text` matches `pattern`, a shell wildcard pattern: "*" stands for
// any text, "[0-9]" for a digit.
bool matches(const std::string& text, const std::string& pattern);

// A log line's time stamp, "2025-01-31T12:34:56.789Z".
inline const std::string time_stamp_pattern =
    "[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]T"
    "[0-9][0-9]:[0-9][0-9]:[0-9][0-9].[0-9][0-9][0-9]Z";
