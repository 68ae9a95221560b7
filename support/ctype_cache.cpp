#include "support/ctype_cache.hpp"

#include <array>
#include <locale>

namespace quarnix {

void fill_ctype_cache() {
  const auto& facet = std::use_facet<std::ctype<char>>(std::locale());
  std::array<char, 256> characters{};
  for (std::size_t i = 0; i < characters.size(); ++i)
    characters[i] = static_cast<char>(i);
  std::array<char, 256> converted{};
  // The range forms fill the whole table in one go; the one-character forms
  // would fill only the entry they look up.
  facet.narrow(characters.data(), characters.data() + characters.size(), '\0', converted.data());
  facet.widen(characters.data(), characters.data() + characters.size(), converted.data());
}

}  // namespace quarnix
