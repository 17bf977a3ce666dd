// What the store's own units share and nothing outside storage/ uses.
#pragma once

#include <string_view>

#include "storage/storage.h"

// Reports that `step` on `file` failed while `during`, with the current
// errno.
void report_errno(store_failure::work during, std::string_view step,
                  std::string_view file);

// Reports that opening the store failed at `step` on `file`, with the
// current errno, and throws sng_storage::init_error.
[[noreturn]] void fail_opening(std::string_view step, std::string_view file);
