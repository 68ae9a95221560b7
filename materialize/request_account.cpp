#include "materialize/request_account.hpp"

namespace quarnix {

void RequestAccount::queued(uint64_t ino, uint64_t block) {
  std::lock_guard lock(mutex);
  ++requests[{ino, block}].queued;
}

void RequestAccount::written(uint64_t ino, uint64_t block) {
  std::lock_guard lock(mutex);
  Requests& entry = requests[{ino, block}];
  if (entry.queued > 0) --entry.queued;
  ++entry.written;
}

void RequestAccount::dropped(uint64_t ino, uint64_t block) {
  std::lock_guard lock(mutex);
  const auto found = requests.find({ino, block});
  if (found == requests.end() || found->second.queued == 0) return;
  --found->second.queued;
  erase_if_empty(found);
}

bool RequestAccount::answer(uint64_t ino, uint64_t block) {
  std::lock_guard lock(mutex);
  const auto found = requests.find({ino, block});
  if (found == requests.end()) return false;
  Requests& entry = found->second;
  // Answers come in the order of the requests, and forgiven ones were written first.
  if (entry.forgiven > 0)
    --entry.forgiven;
  else if (entry.written > 0)
    --entry.written;
  else
    return false;
  erase_if_empty(found);
  return true;
}

bool RequestAccount::awaits_answer(uint64_t ino, uint64_t block) const {
  std::lock_guard lock(mutex);
  const auto found = requests.find({ino, block});
  return found != requests.end() && found->second.written + found->second.forgiven > 0;
}

bool RequestAccount::owed_between(uint64_t ino, uint64_t first, uint64_t last) const {
  std::lock_guard lock(mutex);
  for (auto entry = requests.lower_bound({ino, first});
       entry != requests.end() && entry->first.first == ino && entry->first.second <= last; ++entry)
    if (entry->second.queued + entry->second.written > 0) return true;
  return false;
}

void RequestAccount::forgive(uint64_t ino) {
  std::lock_guard lock(mutex);
  for (auto entry = requests.lower_bound({ino, 0});
       entry != requests.end() && entry->first.first == ino; ++entry) {
    entry->second.forgiven += entry->second.written;
    entry->second.written = 0;
  }
}

void RequestAccount::clear() {
  std::lock_guard lock(mutex);
  requests.clear();
}

void RequestAccount::erase_if_empty(std::map<Key, Requests>::iterator entry) {
  const Requests& counts = entry->second;
  if (counts.queued + counts.written + counts.forgiven == 0) requests.erase(entry);
}

}  // namespace quarnix
