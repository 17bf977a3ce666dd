// What the store's own units share and nothing outside storage/ uses.
#pragma once

#include <sys/stat.h>

#include <mutex>
#include <string>
#include <string_view>

#include "storage/file_system.h"
#include "storage/storage.h"

// The store's one lock. It guards the store's list and cache and the queue
// of its group commit, and no thread holds it while it reads or writes a
// file.
extern std::mutex mtx;

// Reports that `step` on `file` failed while `during`, with the current
// errno.
void report_errno(store_failure::work during, std::string_view step,
                  std::string_view file);

// Reports that opening the store failed at `step` on `file`, with the
// current errno, and throws sng_storage::init_error.
[[noreturn]] void fail_opening(std::string_view step, std::string_view file);

// A picture file opened for reading, with its path and status.
struct picture_file {
  std::string path;
  descriptor file;
  struct stat status;
};

// The picture file at `path`, opened without following a symbolic link and
// without waiting for a writer of a FIFO. Throws not_found_error only when no
// file has that name, and read_error when one exists but cannot be opened
// (no descriptors left, no permission, a symbolic link) or is not a regular
// file; reported.
picture_file open_picture(file_system& files, const std::string& path);

// Writes `text` under a staging name of its own in db_dir, flushed to disk
// when `flush`; returns that name. No identifier has such a name, so no
// fetch can reach a picture before it is complete. The file is created
// afresh, never through a symbolic link or over a file planted under that
// name. Throws write_error, reported, leaving no file.
std::string stage_picture(file_system& files, const std::string& text,
                          bool flush);
