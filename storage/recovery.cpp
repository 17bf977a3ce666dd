#include "storage/recovery.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "storage/index_file.h"
#include "storage/journal.h"
#include "storage/layout.h"

namespace {

using work = store_failure::work;

// An index line a journal record names: the identifier, the offset the
// line went to, and whether the picture's file is whole.
struct journaled_line {
  std::string id;
  std::uint64_t offset;
  bool whole;
};

// Whether `index` holds `line` (its identifier and a line feed) at its
// offset.
bool holds_line(std::string_view index, const journaled_line& line) {
  const std::size_t length = line.id.size();
  return line.offset < index.size() && index.size() - line.offset > length &&
         index.compare(line.offset, length, line.id) == 0 &&
         index[line.offset + length] == '\n';
}

// How much of `index` start-up keeps, given the `lines` the journal names in
// their order. A line is appended only once its record is on disk, so a crash
// tears or loses lines from the first one the index lacks on, and leaves
// there what the appends wrote, in part, or zeros. When the index holds just
// that from there on, it is cut there and the lines are written again; when
// it holds anything else, someone wrote it while the store was closed, and
// all of it is kept.
std::size_t index_bytes_to_keep(std::string_view index,
                                const std::vector<journaled_line>& lines) {
  const auto missing =
      std::find_if(lines.begin(), lines.end(),
                   [&](const auto& line) { return !holds_line(index, line); });
  if (missing == lines.end() || missing->offset >= index.size())
    return index.size();
  const std::size_t from = missing->offset;
  // What the appends wrote from `from` on; zero where they wrote nothing.
  std::string written(index.size() - from, '\0');
  const auto write = [&](std::uint64_t at, std::string_view bytes) {
    for (const char c : bytes) {
      if (at >= from && at < index.size()) written[at - from] = c;
      ++at;
    }
  };
  // Each line came after a line feed that was there or written with it.
  for (const auto& line : lines)
    if (line.offset > 0) write(line.offset - 1, "\n");
  for (const auto& line : lines) {
    write(line.offset, line.id);
    write(line.offset + line.id.size(), "\n");
  }
  for (std::size_t at = from; at < index.size(); ++at)
    if (index[at] != '\0' && index[at] != written[at - from])
      return index.size();
  return from;
}

// Lists the identifiers of the index `text` in `list` and raises its counter
// to the largest.
void list_index(const std::string& text, catalogue& list) {
  for (const std::string_view name : index_names(text)) {
    const std::string id(name);
    list.count(extract_id(id));
    list.add(id);
  }
}

// Writes the picture `text` to the file of `id` unless that file holds it
// already; false on failure.
bool restore_picture(file_system& files, const std::string& id,
                     const std::string& text) {
  const std::string path = make_filename(id);
  try {
    const picture_file existing = open_picture(files, path);
    if (static_cast<std::size_t>(existing.status.st_size) == text.size() &&
        read_all(files, existing.file.get(), existing.status.st_size) == text)
      return true;
  } catch (const sng_storage::not_found_error&) {
  } catch (const sng_storage::read_error&) {
  }
  try {
    const std::string staged = stage_picture(files, text, false);
    if (files.rename(staged.c_str(), path.c_str()) == 0) return true;
    report_errno(work::writing, "rename", path);
    files.unlink(staged.c_str());
  } catch (const sng_storage::write_error&) {
  }
  return false;
}

// Whether the file of `id` holds a text of `size` bytes whose
// journal::text_checksum is `sum`.
bool holds_picture(file_system& files, const std::string& id,
                   std::uint64_t size, std::uint64_t sum) {
  try {
    const picture_file file = open_picture(files, make_filename(id));
    if (static_cast<std::uint64_t>(file.status.st_size) != size) return false;
    const std::optional<std::string> text =
        read_all(files, file.file.get(), file.status.st_size);
    return text && journal::text_checksum(*text) == sum;
  } catch (const sng_storage::not_found_error&) {
  } catch (const sng_storage::read_error&) {
  }
  return false;
}

// Replays the journal files `generations` left from the last run on the
// index whose text is `index`, into `list`: every picture they hold gets its
// complete file; the index is cut where a crash tore or lost a line of
// theirs, when only the store's appends wrote past that point, and listed;
// the records' whole pictures it does not list get their lines, in their
// order. Throws init_error.
void replay(file_system& files, const std::vector<std::uint64_t>& generations,
            std::string index, catalogue& list) {
  std::vector<journaled_line> lines;
  journal::record entry;
  for (const std::uint64_t generation : generations) {
    const std::string path = make_filename(journal::file_name(generation));
    descriptor file(files, files.open(path.c_str(), O_RDONLY | O_NOFOLLOW, 0));
    struct stat status {};
    if (!file.valid() || files.fstat(file.get(), &status) != 0)
      fail_opening("open", path);
    journal::reader records(files, file.get(),
                            static_cast<std::uint64_t>(status.st_size));
    while (records.next(entry)) {
      if (!has_identifier_form(entry.id)) {
        report_store_failure(work::opening, "replay", path,
                             "a record names no picture");
        throw sng_storage::init_error{};
      }
      list.count(extract_id(entry.id));
      if (entry.with_text && !restore_picture(files, entry.id, entry.text))
        throw sng_storage::init_error{};
      // A picture flushed before its record was written whose file no
      // longer holds its text was changed since, not by a crash: listing it
      // would serve something else.
      const bool whole =
          entry.with_text ||
          holds_picture(files, entry.id, entry.text_size, entry.text_sum);
      lines.push_back({std::move(entry.id), entry.index_offset, whole});
    }
    if (records.failed()) fail_opening("read", path);
  }
  const std::size_t kept = index_bytes_to_keep(index, lines);
  if (kept < index.size()) {
    if (!cut_index_to(files, static_cast<off_t>(kept)))
      fail_opening("ftruncate", db_name);
    index.resize(kept);
  }
  list_index(index, list);
  std::string missing;  // lines of the whole pictures the index lacks
  for (const journaled_line& line : lines)
    if (line.whole && !list.lists(line.id)) {
      missing += line.id;
      missing += '\n';
      list.add(line.id);
    }
  if (!missing.empty() && !append_to_index(files, missing))
    throw sng_storage::init_error{};
}

// The numbers of the journal files among `names`, and the leftover staged
// files removed.
std::vector<std::uint64_t> tidy_db_dir(file_system& files,
                                       const std::vector<std::string>& names) {
  std::vector<std::uint64_t> generations;
  for (const std::string& name : names) {
    if (is_staging_name(name))
      files.unlink(make_filename(name).c_str());
    else if (const auto generation = journal::generation_of(name))
      generations.push_back(*generation);
  }
  std::sort(generations.begin(), generations.end());
  return generations;
}

// The journal files that may hold pictures not yet on disk: the newest ones,
// numbered without a gap.
std::vector<std::uint64_t> unretired(std::vector<std::uint64_t> generations) {
  auto first = generations.end();
  while (first != generations.begin() &&
         (first == generations.end() || *std::prev(first) + 1 == *first))
    --first;
  return std::vector<std::uint64_t>(first, generations.end());
}

}  // namespace

recovered_store recover(file_system& files) {
  std::string index = read_index(files);
  if (!init_dir(files)) throw sng_storage::init_error{};
  struct stat index_dir {};
  struct stat picture_dir {};
  if (files.stat(working_dir, &index_dir) != 0 ||
      files.stat(db_dir, &picture_dir) != 0)
    fail_opening("stat", db_dir);
  const std::optional<std::vector<std::string>> names = files.names_in(db_dir);
  if (!names) fail_opening("readdir", db_dir);
  recovered_store found;
  found.index_elsewhere = index_dir.st_dev != picture_dir.st_dev;
  found.journal_generations = tidy_db_dir(files, *names);
  replay(files, unretired(found.journal_generations), std::move(index),
         found.list);
  return found;
}
