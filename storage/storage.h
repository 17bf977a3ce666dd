// The picture store: one SNG file per picture under ./db, named by its
// identifier, and the index file ./quarn.db listing the identifiers in the
// order they were stored. There is one store per process, created by the first
// call of instance() and kept until the process is gone; every thread may use
// it at any time.
//
// A put returns once its picture is durable: puts that arrive together share
// one write and one flush of a journal, which start-up replays. So after a
// crash or a power cut at any moment every answered picture is stored, and
// every listed identifier names a complete picture. docs/storage.md gives
// the files on disk and the argument; storage/internal.h names the units
// behind this face.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sng/sng.h"
#include "storage/file_system.h"
#include "storage/picture_cache.h"

// What a fetch takes of its caller's memory. `reserve` hears of the bytes a
// step is about to take (the file's text, then the parsed picture) before it
// takes them; `reserve_text` hears of the exact length of the picture's text
// before the text is built or handed out from the cache. Either may throw to
// stop the fetch; the exception passes through.
struct fetch_hooks {
  sng::reserve_memory reserve = [](std::size_t) {};
  std::function<void(std::size_t)> reserve_text = [](std::size_t) {};
};

// How the store uses its journal. A picture of at most `journaled_text`
// bytes goes into the journal whole; a larger one is flushed in its own file
// (in parallel with the others), which costs a flush but writes its bytes
// once, and the journal names it only. The journal is checkpointed once it
// holds `bytes` (the pictures it names counted: a replay reads them back)
// or `records`, or at the first batch after it has held records for `age`.
struct journal_limits {
  std::size_t journaled_text = std::size_t{128} << 10;
  std::size_t bytes = std::size_t{64} << 20;
  std::size_t records = 16384;
  std::chrono::steady_clock::duration age = std::chrono::seconds(60);
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
// maybe with the store's lock held, before the store throws: it must be
// thread-safe and quick, and must not use the store.
using store_failure_hook = void (*)(const store_failure&);

// Sets the hook the store reports its failures to; none (nullptr) at start.
void set_store_failure_hook(store_failure_hook hook);

class sng_storage {
 private:
  struct passkey {};  // lets only instance() and open() construct the store

 public:
  class init_error {};
  class read_error {};
  class write_error {};
  class not_found_error {};

  // The single store, created at the first call; throws init_error when the
  // index or the directory cannot be set up (a later call tries again).
  static sng_storage* instance();

  // A store of its own in the working directory, on `files`, for a test
  // that runs the store on a file system of its own.
  static std::unique_ptr<sng_storage> open(file_system& files,
                                           const journal_limits& limits);

  // A consistent snapshot of the identifiers, oldest first.
  std::vector<std::string> get_all_items() const;
  // How many pictures are listed now.
  std::size_t count() const;

  // The listed picture `id`; throws not_found_error for any identifier the
  // store does not list or that is not lower-case hexadecimal digits followed
  // by ".sng", and when its file is missing; read_error when the file exists
  // but cannot be opened or read (no descriptors left, no permission, a
  // symbolic link, not a regular file); sng::parse_error when its text does not
  // parse.
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

  // Reads the index (creating it and db_dir when missing), removes the staged
  // files an ended process left behind, replays the journal and checkpoints
  // it; throws init_error.
  sng_storage(passkey, file_system& files, const journal_limits& limits);
  sng_storage(const sng_storage&) = delete;
  sng_storage& operator=(const sng_storage&) = delete;

 private:
  friend struct std::default_delete<sng_storage>;
  ~sng_storage();

  static std::unique_ptr<sng_storage> self;

  file_system& files_;
  const journal_limits limits_;
  struct state;  // the list, the cache and the group commit (storage.cpp)
  std::unique_ptr<state> state_;
};

// The free space the store leaves on the file system that holds ./db (or
// will hold it), in bytes; nothing when that file system cannot be asked.
std::optional<std::uint64_t> disk_reserve_bytes();
// The number of identifiers the index names now, read without opening the
// store or creating anything: 0 when there is no index, nothing when it
// cannot be read.
std::optional<std::size_t> indexed_count();
