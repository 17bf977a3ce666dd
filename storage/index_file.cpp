#include "storage/index_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <span>

#include "storage/internal.h"
#include "storage/layout.h"

namespace {

using work = store_failure::work;

// White space as a stream in the classic locale skips it between words.
bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

// Whether the non-empty file `fd` of `size` bytes ends with a line feed;
// false also when its last byte cannot be read.
bool ends_with_line_feed(file_system& files, int fd, off_t size) {
  char last = 0;
  return files.pread(fd, &last, 1, size - 1) == 1 && last == '\n';
}

}  // namespace

descriptor open_index(file_system& files, int flags) {
  descriptor index(files, files.open(db_name, flags, 0));
  if (index.valid() || errno != ENOENT) return index;
  descriptor created(files, files.open(db_name, flags | O_CREAT, file_mode));
  if (created.valid() && files.sync_directory(working_dir) != 0)
    return descriptor(files, -1);
  return created;
}

std::string read_index(file_system& files) {
  const descriptor index(open_index(files, O_RDONLY));
  struct stat status {};
  if (!index.valid() || files.fstat(index.get(), &status) != 0)
    fail_opening("open", db_name);
  std::optional<std::string> text =
      read_all(files, index.get(), status.st_size);
  if (!text) fail_opening("read", db_name);
  return std::move(*text);
}

std::vector<std::string_view> index_names(std::string_view text) {
  std::vector<std::string_view> names;
  auto at = text.begin();
  for (;;) {
    at = std::find_if_not(at, text.end(), is_space);
    if (at == text.end()) return names;
    const auto end = std::find_if(at, text.end(), is_space);
    names.emplace_back(at, end);
    at = end;
  }
}

std::optional<std::size_t> indexed_count() {
  file_system& files = file_system::posix();
  const descriptor index(files, files.open(db_name, O_RDONLY | O_NOFOLLOW, 0));
  if (!index.valid()) {
    if (errno == ENOENT) return 0;
    return std::nullopt;
  }
  struct stat status {};
  if (files.fstat(index.get(), &status) != 0) return std::nullopt;
  const std::optional<std::string> text =
      read_all(files, index.get(), status.st_size);
  if (!text) return std::nullopt;
  return index_names(*text).size();
}

bool cut_index_to(file_system& files, off_t size) {
  descriptor index(open_index(files, O_RDWR));
  struct stat status {};
  return index.valid() && files.fstat(index.get(), &status) == 0 &&
         (status.st_size <= size || files.ftruncate(index.get(), size) == 0);
}

std::optional<index_end> find_index_end(file_system& files) {
  descriptor index(open_index(files, O_RDWR));
  struct stat status {};
  if (!index.valid() || files.fstat(index.get(), &status) != 0) {
    report_errno(work::writing, index.valid() ? "fstat" : "open", db_name);
    return std::nullopt;
  }
  const bool line_feed_first =
      status.st_size > 0 &&
      !ends_with_line_feed(files, index.get(), status.st_size);
  return index_end{std::move(index), status.st_size, line_feed_first};
}

bool write_at_index_end(file_system& files, const index_end& end,
                        const std::string& lines) {
  char line_feed = '\n';
  iovec parts[] = {{&line_feed, 1}, part_of(lines)};
  const std::span<iovec> block =
      end.line_feed_first ? std::span(parts) : std::span(parts).last(1);
  const std::size_t bytes = lines.size() + (end.line_feed_first ? 1 : 0);
  // One write call, so that a killed process leaves the lines whole or not
  // at all; a short write is a failure, not something to continue.
  const ssize_t written = files.pwritev(
      end.index.get(), block.data(), static_cast<int>(block.size()), end.size);
  if (written == static_cast<ssize_t>(bytes)) return true;
  if (written < 0)
    report_errno(work::writing, "write", db_name);
  else
    report_store_failure(work::writing, "write", db_name,
                         "only " + std::to_string(written) + " of " +
                             std::to_string(bytes) + " bytes written");
  // Takes back whatever part of the lines reached the file.
  files.ftruncate(end.index.get(), end.size);
  return false;
}

bool append_to_index(file_system& files, const std::string& lines) {
  const std::optional<index_end> end = find_index_end(files);
  return end && write_at_index_end(files, *end, lines);
}
