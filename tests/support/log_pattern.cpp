#include "support/log_pattern.h"

#include <fnmatch.h>

bool matches(const std::string& text, const std::string& pattern) {
  return ::fnmatch(pattern.c_str(), text.c_str(), 0) == 0;
}
