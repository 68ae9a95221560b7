// Block ids: a file's path hash and a block number in one 64-bit value, the
// same in every program that reads or writes read-ahead profiles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>

#include "support/block_number.hpp"

namespace quarnix {

// Hash of a path relative to the tree root: MurmurHash3 x86_32 with seed 0,
// except that "testfile" hashes to 0.
std::uint32_t hash_path(const std::string& path);

namespace detail {
[[noreturn]] void throw_block_number_overflow();
}

struct block_id_t {
  // Path hash in bits 63..32, block number in bits 31..0.
  std::uint64_t value = 0;

  constexpr block_id_t() = default;

  // Block numbers come from 64-bit offset quotients; one that does not fit
  // in 32 bits throws "block number overflow".
  block_id_t(std::uint32_t path_hash, std::uint64_t block_number) {
    if (block_number > largest_block_number) detail::throw_block_number_overflow();
    value = static_cast<std::uint64_t>(path_hash) << 32 | block_number;
  }

  block_id_t(const std::string& path, std::uint32_t block_number)
      : value(static_cast<std::uint64_t>(hash_path(path)) << 32 | block_number) {}

  constexpr std::uint32_t hash() const { return static_cast<std::uint32_t>(value >> 32); }
  constexpr std::uint32_t block() const { return static_cast<std::uint32_t>(value); }

  constexpr bool operator<(const block_id_t& other) const { return value < other.value; }
  constexpr bool operator==(const block_id_t& other) const { return value == other.value; }

  template <class Archive>
  void serialize(Archive& archive, const unsigned int /*version*/) {
    archive& value;
  }
};

// Writes the whole value as one unsigned decimal number.
std::ostream& operator<<(std::ostream& out, const block_id_t& id);

}  // namespace quarnix

template <>
struct std::hash<quarnix::block_id_t> {
  std::size_t operator()(const quarnix::block_id_t& id) const noexcept {
    return static_cast<std::size_t>(id.value);
  }
};
