#include "storage/layout.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <iterator>

#include "storage/internal.h"

namespace {

// Start of the names pictures are staged under in db_dir.
constexpr std::string_view staging_prefix = ".staged-";

// The value of a hexadecimal digit in either case, or -1.
int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string make_filename(const std::string& id) {
  return std::string(db_dir) + "/" + id;
}

int extract_id(const std::string& id) {
  const std::string_view number(id.data(), std::min(id.find('.'), id.size()));
  auto at = number.begin();
  const bool negative = at != number.end() && *at == '-';
  if (at != number.end() && (*at == '-' || *at == '+')) ++at;
  // Digits past the int range leave the value at the nearest limit.
  const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
  long long value = 0;
  for (; at != number.end() && hex_digit(*at) >= 0; ++at)
    value = std::min(value * 16 + hex_digit(*at), limit);
  return static_cast<int>(negative ? -value : value);
}

bool init_dir(file_system& files) {
  using work = store_failure::work;
  struct stat status {};
  if (files.stat(db_dir, &status) == 0) {
    if (S_ISDIR(status.st_mode)) return true;
    report_store_failure(work::opening, "stat", db_dir, ENOTDIR);
    return false;
  }
  const char* const failed_step = errno != ENOENT                      ? "stat"
                                  : files.mkdir(db_dir, dir_mode) != 0 ? "mkdir"
                                  : files.sync_directory(working_dir) != 0
                                      ? "fsync"
                                      : nullptr;
  if (failed_step == nullptr) return true;
  report_store_failure(work::opening, failed_step, db_dir, errno);
  return false;
}

std::string identifier_of(int number) {
  char digits[8];  // the largest int has eight hexadecimal digits
  char* end =
      std::to_chars(std::begin(digits), std::end(digits), number, 16).ptr;
  return std::string(digits, end) + ext;
}

bool has_identifier_form(const std::string& id) {
  const std::string_view ending(ext);
  if (id.size() <= ending.size() || !id.ends_with(ending)) return false;
  return std::all_of(id.begin(), id.end() - ending.size(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
  });
}

std::string new_staging_path() {
  static std::atomic<unsigned long> staged_count{0};
  return make_filename(std::string(staging_prefix) +
                       std::to_string(++staged_count));
}

bool is_staging_name(std::string_view name) {
  return name.starts_with(staging_prefix);
}
