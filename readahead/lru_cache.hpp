// A bounded cache of open file handles, the most recently used first; the
// oldest entry is destroyed, and with it its handle, when the cache overflows.
#pragma once

#include <boost/optional.hpp>
#include <cstdint>
#include <list>
#include <unordered_map>
#include <utility>

namespace quarnix {

// Not synchronised: in both programs only the prefetching thread uses it.
template <typename Key, typename Value>
class lru_cache_t {
 public:
  using entry_list = std::list<std::pair<Key, Value>>;

  explicit lru_cache_t(std::uint64_t capacity) : capacity(capacity) {}
  lru_cache_t(const lru_cache_t&) = delete;
  lru_cache_t& operator=(const lru_cache_t&) = delete;

  // The cached value, which becomes the most recently used; none on a miss.
  boost::optional<Value&> get(const Key& key) {
    const auto found = index.find(key);
    if (found == index.end()) return boost::none;
    const auto entry = found->second;
    if (entry != entries.begin()) entries.splice(entries.begin(), entries, entry);
    return entry->second;
  }

  // Callers put only keys that missed; a key that is cached all the same is
  // replaced, so that no key is ever held twice.
  void put(const Key& key, Value value) {
    erase(key);
    entries.emplace_front(key, std::move(value));
    index[key] = entries.begin();
    evict();
  }

  void evict() {
    while (entries.size() > capacity) {
      index.erase(entries.back().first);
      entries.pop_back();
    }
  }

  void erase(const Key& key) {
    const auto found = index.find(key);
    if (found == index.end()) return;
    const auto entry = found->second;
    index.erase(found);
    entries.erase(entry);
  }

  std::uint64_t capacity;
  // Most recently used first. Walk it, but change it only through the members.
  entry_list entries;
  std::unordered_map<Key, typename entry_list::iterator> index;
};

}  // namespace quarnix
