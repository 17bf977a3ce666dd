// The picture store: one SNG file per picture under db_dir, named by its
// identifier, and the index file db_name listing the identifiers in the order
// they were stored. There is one store per process, created by the first
// call of instance() and kept until the process is gone; every thread may use
// it at any time.
//
// A picture reaches its file completely (written under a temporary name,
// flushed to disk and renamed) before its index line is appended, and both
// are on disk before a put returns, so a crash at any moment leaves every
// listed identifier naming a complete picture.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "sng/sng.h"
#include "storage/picture_cache.h"

extern const char* const db_name;  // "./quarn.db"
extern const char* const db_dir;   // "./db"
extern const char* const ext;      // ".sng"

// Guards the store's list and counter, and orders picture writes and index
// appends.
extern std::mutex mtx;

// What a fetch takes of its caller's memory. `reserve` hears of the bytes a
// step is about to take (the file's text, then the parsed picture) before it
// takes them; `reserve_text` hears of the exact length of the picture's text
// before the text is built or handed out from the cache. Either may throw to
// stop the fetch; the exception passes through.
struct fetch_hooks {
  sng::reserve_memory reserve = [](std::size_t) {};
  std::function<void(std::size_t)> reserve_text = [](std::size_t) {};
};

// A failure of the store's file work, as told to the failure hook: what the
// store was doing, the step that failed (a system call such as "open",
// "write" or "fdatasync", or a check such as "reserve"), the file it
// concerned, and the cause (errno's text, or what was wrong).
struct store_failure {
  enum class work { opening, reading, writing };
  work during;
  std::string_view step;
  std::string_view file;
  std::string_view cause;
};

// Hears of every failure of the store's file work, on the failing thread and
// maybe with mtx held, before the store throws: it must be thread-safe and
// quick, and must not use the store.
using store_failure_hook = void (*)(const store_failure&);

// Sets the hook the store reports its failures to; none (nullptr) at start.
void set_store_failure_hook(store_failure_hook hook);

// Tells the hook that `step` on `file` failed while `during`: with the errno
// value `error`, or for `cause`.
void report_store_failure(store_failure::work during, std::string_view step,
                          std::string_view file, int error);
void report_store_failure(store_failure::work during, std::string_view step,
                          std::string_view file, std::string_view cause);

class sng_storage {
 private:
  struct passkey {};  // lets only instance() construct the store

 public:
  class init_error {};
  class read_error {};
  class write_error {};
  class not_found_error {};

  // The single store, created at the first call; throws init_error when the
  // index or the directory cannot be set up (a later call tries again).
  static sng_storage* instance();

  // A consistent snapshot of the identifiers, oldest first.
  std::vector<std::string> get_all_items() const;
  // How many pictures are listed now.
  std::size_t count() const;

  // The listed picture `id`; throws not_found_error for any identifier the
  // store does not list or that is not lower-case hexadecimal digits followed
  // by ext, and when its file is missing; read_error when the file exists but
  // cannot be opened or read (no descriptors left, no permission, a symbolic
  // link, not a regular file); sng::parse_error when its text does not parse.
  sng get_item(const std::string& id) const;

  // As get_item, with the picture's text. Pictures fetched before are served
  // from a bounded cache as long as their file is provably unchanged, so every
  // answer equals a fresh read.
  fetched_picture fetch_item(const std::string& id,
                             const fetch_hooks& hooks = {}) const;

  // Stores `picture` durably and returns its new identifier; throws
  // write_error and then leaves no index line, list entry or partial file
  // behind (the number stays used up). Stores nothing, with write_error,
  // while the picture would cut into the free space kept for the rest of
  // the machine (the smaller of 1 GiB and 5% of the file system).
  std::string put_item(const sng& picture);

  // As put_item, with the picture given as its SNG text, as
  // sng::to_raw_string() wrote it; the picture's file holds exactly these
  // bytes. The text is not parsed here: the caller knows what it wrote.
  std::string put_text(const std::string& sng_text);

  // Reads the index (creating it and db_dir when missing) and removes the
  // staged files an ended process left behind; throws init_error.
  explicit sng_storage(passkey);
  sng_storage(const sng_storage&) = delete;
  sng_storage& operator=(const sng_storage&) = delete;

 private:
  friend struct std::default_delete<sng_storage>;
  ~sng_storage() = default;

  // One picture on its way into the store: staged complete under a
  // temporary name by its own thread, then numbered, renamed into place and
  // indexed by whichever thread commits the batch it is part of. The staged
  // file goes with the put unless it was renamed into place.
  struct pending_put {
    std::string staged_path;
    std::string id;       // empty while not numbered
    bool placed = false;  // renamed to its identifier's name
    bool stored = false;  // durable and listed; guarded by mtx
    bool done = false;    // guarded by mtx
    ~pending_put();
  };

  // Commits every queued put as one batch and wakes their threads, whatever
  // fails (a put that cannot be committed fails); called with mtx held
  // through `lock`, which is released while the files are written.
  void commit_queue(std::unique_lock<std::mutex>& lock);
  // Renames the numbered puts of `batch` into place and indexes them
  // durably; returns whether the index holds every put placed. Runs without
  // mtx.
  static bool commit_batch(const std::vector<pending_put*>& batch);
  // Raises the counter and names the picture by it; false, leaving `id`
  // unchanged, instead of passing the largest int. Needs mtx.
  bool take_identifier(std::string& id);
  // Adds `id` to the list, or throws and leaves it as it was. Needs mtx.
  void record(const std::string& id);
  // Whether the list holds `id`.
  bool lists(const std::string& id) const;
  // Throws not_found_error unless `id` has the identifier form and is listed.
  void check_listed(const std::string& id) const;

  static std::unique_ptr<sng_storage> self;

  // State below is guarded by mtx.
  std::vector<std::string> items_;
  std::unordered_set<std::string> listed_;  // the same identifiers, to look up
  int counter_ = 0;
  std::vector<pending_put*> queue_;  // puts waiting for the next batch
  mutable picture_cache cache_;
  bool committing_ = false;            // whether a thread is committing a batch
  std::condition_variable committed_;  // signalled after every batch
};

// The number before the first point of `id`, read as hexadecimal.
int extract_id(const std::string& id);
// Makes sure db_dir is a directory, creating it durably when missing.
bool init_dir();
// db_dir, "/" and `id`.
std::string make_filename(const std::string& id);
// The free space the store leaves on the file system that holds db_dir, in
// bytes; nothing when that file system cannot be asked.
std::optional<std::uint64_t> disk_reserve_bytes();
