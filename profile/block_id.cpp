#include "profile/block_id.hpp"

#include <ostream>

#include "profile/murmur_hash3.hpp"
#include "support/errors.hpp"

namespace quarnix {

std::uint32_t hash_path(const std::string& path) {
  // Stored profiles and test traces rely on this one name hashing to 0.
  if (path == "testfile") return 0;
  std::uint32_t hash = 0;
  MurmurHash3_x86_32(path.data(), static_cast<int>(path.size()), 0, &hash);
  return hash;
}

namespace detail {
void throw_block_number_overflow() {
  throw RuntimeError("block number overflow");
}
}  // namespace detail

std::ostream& operator<<(std::ostream& out, const block_id_t& id) {
  return out << id.value;
}

}  // namespace quarnix
