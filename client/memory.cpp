#include "client/memory.h"

#include <algorithm>

namespace client {

void make_room(std::string& buffer, std::size_t bytes,
               const reserve_memory& reserve) {
  const std::size_t needed = buffer.size() + bytes;
  if (needed <= buffer.capacity()) return;
  const std::size_t capacity = std::max(needed, 2 * buffer.capacity());
  announce(reserve, capacity);
  buffer.reserve(capacity);
}

}  // namespace client
