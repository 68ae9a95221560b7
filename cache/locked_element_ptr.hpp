// Move-only owner of a chunk that the cache handed out locked: the chunk
// stays locked, so it is neither evicted nor dropped nor rewritten by another
// thread, until the owner goes or is reset.
#pragma once

#include "cache/lru_element.hpp"

namespace quarnix {

class Cache;

class locked_element_ptr {
 public:
  locked_element_ptr() = default;
  locked_element_ptr(Cache& cache, LRUElement& element) : cache(&cache), element(&element) {}
  locked_element_ptr(locked_element_ptr&& other) noexcept;
  locked_element_ptr& operator=(locked_element_ptr&& other) noexcept;
  locked_element_ptr(const locked_element_ptr&) = delete;
  locked_element_ptr& operator=(const locked_element_ptr&) = delete;
  // Unlocks the chunk; a failure to do so is logged, not thrown.
  ~locked_element_ptr();

  // Unlocks the chunk now; the owner is empty afterwards.
  void reset();

  LRUElement* get() const { return element; }
  LRUElement& operator*() const { return *element; }
  LRUElement* operator->() const { return element; }
  explicit operator bool() const { return element != nullptr; }

 private:
  Cache* cache = nullptr;
  LRUElement* element = nullptr;
};

}  // namespace quarnix
