// The store's list of identifiers and its counter.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_set>
#include <vector>

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
