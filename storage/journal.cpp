#include "storage/journal.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <utility>
#include <vector>

namespace journal {
namespace {

// Start of every journal file's name.
constexpr std::string_view name_prefix = ".journal-";
// First bytes of a journal file, and of each record.
constexpr std::string_view file_mark = "quarn journal 2\n";
static_assert(file_mark.size() == header_bytes);
constexpr std::string_view record_mark = "qrec";
constexpr std::string_view file_record_mark = "qref";

constexpr std::uint64_t prime1 = 0x9E3779B185EBCA87ULL;
constexpr std::uint64_t prime2 = 0xC2B2AE3D27D4EB4FULL;
constexpr std::uint64_t prime3 = 0x165667B19E3779F9ULL;
constexpr std::uint64_t prime4 = 0x85EBCA77C2B2AE63ULL;
constexpr std::uint64_t prime5 = 0x27D4EB2F165667C5ULL;

std::uint64_t rotate(std::uint64_t value, int bits) {
  return (value << bits) | (value >> (64 - bits));
}

std::uint64_t load64(const char* at) {
  std::uint64_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

std::uint32_t load32(const char* at) {
  std::uint32_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

std::uint64_t mix(std::uint64_t accumulator, std::uint64_t input) {
  return rotate(accumulator + input * prime2, 31) * prime1;
}

std::uint64_t merge(std::uint64_t hash, std::uint64_t lane) {
  return (hash ^ mix(0, lane)) * prime1 + prime4;
}

// Fixed-width numbers are stored little-endian, whatever the machine.
void put_number(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i)
    out += static_cast<char>((value >> (8 * i)) & 0xff);
}

std::uint64_t get_number(std::string_view in, std::size_t at, int bytes) {
  std::uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i)
    value = (value << 8) | static_cast<unsigned char>(in[at + i]);
  return value;
}

// A 64-bit hash of `bytes`, in the manner of xxHash64: fast enough to check
// every byte of every picture on its way to disk.
std::uint64_t hash(std::string_view bytes, std::uint64_t seed) {
  const char* at = bytes.data();
  const char* const end = at + bytes.size();
  std::uint64_t result;
  if (bytes.size() >= 32) {
    std::uint64_t lanes[4] = {seed + prime1 + prime2, seed + prime2, seed,
                              seed - prime1};
    for (; end - at >= 32; at += 32)
      for (int lane = 0; lane < 4; ++lane)
        lanes[lane] = mix(lanes[lane], load64(at + 8 * lane));
    result = rotate(lanes[0], 1) + rotate(lanes[1], 7) + rotate(lanes[2], 12) +
             rotate(lanes[3], 18);
    for (const std::uint64_t lane : lanes) result = merge(result, lane);
  } else {
    result = seed + prime5;
  }
  result += bytes.size();
  for (; end - at >= 8; at += 8)
    result = rotate(result ^ mix(0, load64(at)), 27) * prime1 + prime4;
  if (end - at >= 4) {
    result = rotate(result ^ (load32(at) * prime1), 23) * prime2 + prime3;
    at += 4;
  }
  for (; at < end; ++at)
    result = rotate(result ^ (static_cast<unsigned char>(*at) * prime5), 11) *
             prime1;
  result ^= result >> 33;
  result *= prime2;
  result ^= result >> 29;
  result *= prime3;
  return result ^ (result >> 32);
}

// The checksum of a record's head: its first fields and the identifier.
std::uint64_t head_checksum(std::string_view fields, std::string_view id) {
  return hash(id, hash(fields, 0));
}

// A record's head and identifier, for `record`.
std::string record_head(const entry& record) {
  std::string out(record.with_text ? record_mark : file_record_mark);
  out.reserve(head_bytes + record.id.size());
  put_number(out, record.id.size(), 4);
  put_number(out, record.text.size(), 8);
  put_number(out, record.text_sum, 8);
  put_number(out, record.index_offset, 8);
  put_number(out, head_checksum(out, record.id), 8);
  return out += record.id;
}

}  // namespace

std::string file_name(std::uint64_t generation) {
  return std::string(name_prefix) + std::to_string(generation);
}

std::optional<std::uint64_t> generation_of(std::string_view name) {
  if (!name.starts_with(name_prefix)) return std::nullopt;
  name.remove_prefix(name_prefix.size());
  std::uint64_t generation = 0;
  const auto [end, error] =
      std::from_chars(name.data(), name.data() + name.size(), generation);
  if (name.empty() || error != std::errc() || end != name.data() + name.size())
    return std::nullopt;
  return generation;
}

std::uint64_t text_checksum(std::string_view text) {
  return hash(text, text.size());
}

writer::writer(file_system& files, descriptor file)
    : files_(files), file_(std::move(file)) {}

std::optional<writer> writer::begin(file_system& files, descriptor file) {
  iovec part = part_of(file_mark);
  if (!write_all(files, file.get(), {&part, 1}, 0) ||
      files.fdatasync(file.get()) != 0)
    return std::nullopt;
  return writer(files, std::move(file));
}

bool writer::append(std::span<const entry> entries) {
  std::vector<std::string> heads;
  heads.reserve(entries.size());
  std::vector<iovec> parts;
  parts.reserve(2 * entries.size());
  std::uint64_t bytes = 0;
  for (const entry& record : entries) {
    parts.push_back(part_of(heads.emplace_back(record_head(record))));
    bytes += heads.back().size();
    if (record.with_text) {
      parts.push_back(part_of(record.text));
      bytes += record.text.size();
    }
  }
  if (!write_all(files_, file_.get(), parts, static_cast<off_t>(bytes_)) ||
      files_.fdatasync(file_.get()) != 0)
    return false;
  bytes_ += bytes;
  records_ += entries.size();
  return true;
}

bool writer::cut_back() {
  return files_.ftruncate(file_.get(), static_cast<off_t>(bytes_)) == 0 &&
         files_.fdatasync(file_.get()) == 0;
}

reader::reader(file_system& files, int fd, std::uint64_t size)
    : files_(files), fd_(fd), size_(size) {
  std::string bytes;
  header_whole_ = read_at(0, bytes, header_bytes) && bytes == file_mark;
}

bool reader::next(record& into) {
  if (!header_whole_) return false;
  std::string head;
  if (!read_at(offset_, head, head_bytes)) return false;
  into.with_text = head.starts_with(record_mark);
  if (!into.with_text && !head.starts_with(file_record_mark)) return false;
  const std::uint64_t id_size = get_number(head, 4, 4);
  into.text_size = get_number(head, 8, 8);
  into.text_sum = get_number(head, 16, 8);
  into.index_offset = get_number(head, 24, 8);
  const std::uint64_t text_at = offset_ + head_bytes + id_size;
  const std::uint64_t text_bytes = into.with_text ? into.text_size : 0;
  const std::uint64_t end = text_at + text_bytes;
  // Lengths a torn head makes up are caught before anything is allocated.
  if (id_size > size_ || text_bytes > size_ || end > size_ ||
      !read_at(offset_ + head_bytes, into.id, id_size) ||
      head_checksum(std::string_view(head).substr(0, head_bytes - 8),
                    into.id) != get_number(head, head_bytes - 8, 8))
    return false;
  if (into.with_text) {
    if (!read_at(text_at, into.text, into.text_size) ||
        text_checksum(into.text) != into.text_sum)
      return false;
  } else {
    into.text.clear();
  }
  offset_ = end;
  return true;
}

bool reader::read_at(std::uint64_t offset, std::string& into,
                     std::size_t bytes) {
  if (offset + bytes > size_) return false;
  into.resize(bytes);
  std::size_t done = 0;
  while (done < bytes) {
    const ssize_t got = files_.pread(fd_, into.data() + done, bytes - done,
                                     static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      failed_ = got < 0;
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace journal
