// How the client's steps tell a caller, such as a server that keeps a budget
// for the memory of all its requests, what they are about to allocate.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace client {

// Told how many bytes a step is about to allocate, before it allocates them.
// It may throw to stop the step, which then passes the exception on and
// keeps nothing. An empty function is told nothing. It is the type of
// sng::reserve_memory, so one can be handed on to the SNG reader.
using reserve_memory = std::function<void(std::size_t bytes)>;

// Tells `reserve`, when it is set, of `bytes`.
inline void announce(const reserve_memory& reserve, std::size_t bytes) {
  if (reserve) reserve(bytes);
}

// Makes room in `buffer` for `bytes` more than it holds, at least doubling
// its block when it must grow, and tells `reserve` of the new block first:
// the old block is freed only once the new one holds its bytes.
void make_room(std::string& buffer, std::size_t bytes,
               const reserve_memory& reserve);

// `reserve`, or a function that ignores what it is told when `reserve` is
// empty: the SNG reader needs one that can be called.
inline reserve_memory callable(const reserve_memory& reserve) {
  return reserve ? reserve : [](std::size_t) {};
}

}  // namespace client
