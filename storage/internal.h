// What the store's own units share and nothing outside storage/ uses. The
// store (storage.h) is the face; behind it, storage/layout names the files,
// storage/index_file reads and appends the index, storage/journal writes and
// reads the journal, storage/group_commit commits puts in batches and
// storage/recovery opens the files at start-up.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "port/mutex.h"
#include "storage/file_system.h"
#include "storage/storage.h"

// The store's one lock. It guards the store's list and cache and the queue
// of its group commit, and no thread holds it while it reads or writes a
// file.
extern port::mutex mtx;

// Reports that `step` on `file` failed while `during`, with the current
// errno.
void report_errno(store_failure::work during, std::string_view step,
                  std::string_view file);

// Reports that opening the store failed at `step` on `file`, with the
// current errno, and throws sng_storage::init_error.
[[noreturn]] void fail_opening(std::string_view step, std::string_view file);

// Tells the failure hook that `step` on `file` failed while `during`: with
// the errno value `error`, or for `cause`.
void report_store_failure(store_failure::work during, std::string_view step,
                          std::string_view file, int error);
void report_store_failure(store_failure::work during, std::string_view step,
                          std::string_view file, std::string_view cause);

// The identifiers the store lists, oldest first, with a set to look them up,
// and the counter that numbers new pictures: the largest number used or
// found. Not synchronised: the store guards its own with mtx.
class catalogue {
 public:
  using entry = std::unordered_set<std::string>::node_type;

  const std::vector<std::string>& items() const { return items_; }
  bool lists(const std::string& id) const { return listed_.contains(id); }

  // Lists `id` after the others; throws, leaving the list as it was.
  void add(const std::string& id);

  // Makes room to list `count` more with add_entry, which then allocates
  // nothing.
  void make_room_for(std::size_t count);
  // Lists the identifier `entry` holds after the others.
  void add_entry(entry&& entry);

  // Raises the counter to `number` when that is larger.
  void count(int number);
  // Raises the counter and names a picture by it; false, leaving `id` as it
  // was, instead of passing the largest int.
  bool take_identifier(std::string& id);

 private:
  std::vector<std::string> items_;
  std::unordered_set<std::string> listed_;
  int counter_ = 0;
};

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
