#include "web/png_cache.h"

#include <cstdio>
#include <string_view>

namespace web {

converted_png::converted_png(std::string png, held_memory held)
    : bytes(std::move(png)), memory(std::move(held)) {
  char tag[19];
  std::snprintf(tag, sizeof tag, "\"%016zx\"",
                std::hash<std::string_view>()(bytes));
  etag = tag;
}

shared_png png_cache::get(const std::string& id,
                          const std::function<shared_png()>& convert) {
  std::promise<shared_png> result;
  std::shared_future<shared_png> theirs;
  {
    const std::lock_guard lock(mutex_);
    if (const auto found = kept_.find(id); found != kept_.end()) {
      by_use_.splice(by_use_.begin(), by_use_, found->second.place);
      return found->second.png;
    }
    const auto [pending, first] = converting_.try_emplace(id);
    if (first)
      pending->second = result.get_future().share();
    else
      theirs = pending->second;
  }
  if (theirs.valid()) return theirs.get();
  shared_png png;
  try {
    png = convert();
  } catch (...) {
    finish(id, nullptr);
    result.set_exception(std::current_exception());
    throw;
  }
  finish(id, png);
  result.set_value(png);
  return png;
}

void png_cache::finish(const std::string& id, const shared_png& png) {
  const std::lock_guard lock(mutex_);
  converting_.erase(id);
  if (!png || png->bytes.size() > largest_) return;
  by_use_.push_front(id);
  kept_.emplace(id, entry{png, by_use_.begin()});
  kept_bytes_ += png->bytes.size();
  while (kept_bytes_ > capacity_) {
    const auto oldest = kept_.find(by_use_.back());
    kept_bytes_ -= oldest->second.png->bytes.size();
    kept_.erase(oldest);
    by_use_.pop_back();
  }
}

}  // namespace web
