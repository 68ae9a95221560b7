#include "cache/locked_element_ptr.hpp"

#include <exception>
#include <utility>

#include "cache/cache.hpp"
#include "support/logging.hpp"

namespace quarnix {

locked_element_ptr::locked_element_ptr(locked_element_ptr&& other) noexcept
    : cache(std::exchange(other.cache, nullptr)), element(std::exchange(other.element, nullptr)) {}

locked_element_ptr& locked_element_ptr::operator=(locked_element_ptr&& other) noexcept {
  if (this != &other) {
    // The chunk held so far is let go as `previous` ends.
    locked_element_ptr previous(std::move(*this));
    cache = std::exchange(other.cache, nullptr);
    element = std::exchange(other.element, nullptr);
  }
  return *this;
}

locked_element_ptr::~locked_element_ptr() {
  // A destructor must not throw: a chunk that is no longer locked is a broken
  // invariant, which is logged.
  try {
    reset();
  } catch (const std::exception& error) {
    log_error(error.what());
  }
}

void locked_element_ptr::reset() {
  if (element == nullptr) return;
  LRUElement& releasing = *std::exchange(element, nullptr);
  std::exchange(cache, nullptr)->release(releasing);
}

}  // namespace quarnix
