#include "cache/locked_element_ptr.hpp"

#include <utility>

#include "cache/cache.hpp"

namespace quarnix {

locked_element_ptr::locked_element_ptr(locked_element_ptr&& other) noexcept
    : cache(std::exchange(other.cache, nullptr)), element(std::exchange(other.element, nullptr)) {}

locked_element_ptr& locked_element_ptr::operator=(locked_element_ptr&& other) noexcept {
  if (this != &other) {
    reset();
    cache = std::exchange(other.cache, nullptr);
    element = std::exchange(other.element, nullptr);
  }
  return *this;
}

void locked_element_ptr::reset() {
  if (element == nullptr) return;
  LRUElement& releasing = *std::exchange(element, nullptr);
  std::exchange(cache, nullptr)->release(releasing);
}

}  // namespace quarnix
