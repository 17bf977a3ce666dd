#include "storage/picture_cache.h"

namespace {

// How much memory cached pictures and their texts may hold, and the most one
// of them may hold.
constexpr std::size_t budget_bytes = 64 * 1024 * 1024;
constexpr std::size_t max_item_bytes = budget_bytes / 4;

std::size_t bytes_of(const fetched_picture& item) {
  return item.text->capacity() + item.picture->memory_size();
}

}  // namespace

file_identity file_identity::of(const struct stat& status) {
  return {static_cast<std::uint64_t>(status.st_dev),
          static_cast<std::uint64_t>(status.st_ino),
          static_cast<std::int64_t>(status.st_size),
          static_cast<std::int64_t>(status.st_mtim.tv_sec),
          static_cast<std::int64_t>(status.st_mtim.tv_nsec),
          static_cast<std::int64_t>(status.st_ctim.tv_sec),
          static_cast<std::int64_t>(status.st_ctim.tv_nsec)};
}

std::optional<fetched_picture> picture_cache::find(
    const std::string& id, const file_identity& identity) const {
  const auto found = entries_.find(id);
  if (found == entries_.end() || !(found->second.identity == identity))
    return std::nullopt;
  return found->second.item;
}

std::vector<fetched_picture> picture_cache::remember(
    const std::string& id, const file_identity& identity,
    const fetched_picture& item) {
  std::vector<fetched_picture> released;
  const std::size_t bytes = bytes_of(item);
  if (bytes > max_item_bytes) return released;
  if (const auto found = entries_.find(id); found != entries_.end()) {
    released.push_back(std::move(found->second.item));
    bytes_ -= found->second.bytes;
    found->second = {identity, item, bytes};
  } else {
    // An entry is in both or in neither: eviction finds entries by order_.
    const auto added = entries_.emplace(id, entry{identity, item, bytes}).first;
    try {
      order_.push_back(id);
    } catch (...) {
      entries_.erase(added);
      throw;
    }
  }
  bytes_ += bytes;
  while (bytes_ > budget_bytes) {
    const auto oldest = entries_.find(order_.front());
    released.push_back(std::move(oldest->second.item));
    bytes_ -= oldest->second.bytes;
    entries_.erase(oldest);
    order_.pop_front();
  }
  return released;
}
