#include "profile/murmur_hash3.hpp"

#include <cstddef>
#include <cstring>

namespace quarnix {

namespace {

constexpr std::uint32_t c1 = 0xcc9e2d51;
constexpr std::uint32_t c2 = 0x1b873593;

constexpr std::uint32_t rotate_left(std::uint32_t x, int bits) {
  return (x << bits) | (x >> (32 - bits));
}

constexpr std::uint32_t mix_key(std::uint32_t k) {
  k *= c1;
  k = rotate_left(k, 15);
  return k * c2;
}

constexpr std::uint32_t final_mix(std::uint32_t h) {
  h ^= h >> 16;
  h *= 0x85ebca6b;
  h ^= h >> 13;
  h *= 0xc2b2ae35;
  h ^= h >> 16;
  return h;
}

// Blocks are read as little-endian whatever the host, and without unaligned loads.
std::uint32_t load_block(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

}  // namespace

void MurmurHash3_x86_32(const void* key, int length, std::uint32_t seed, void* out) {
  const auto* bytes = static_cast<const unsigned char*>(key);
  const std::size_t size = length > 0 ? static_cast<std::size_t>(length) : 0;
  const std::size_t block_count = size / 4;

  std::uint32_t h = seed;
  for (std::size_t i = 0; i < block_count; ++i) {
    h ^= mix_key(load_block(bytes + 4 * i));
    h = rotate_left(h, 13);
    h = h * 5 + 0xe6546b64;
  }

  const unsigned char* tail = bytes + 4 * block_count;
  std::uint32_t k = 0;
  switch (size & 3) {
    case 3:
      k ^= static_cast<std::uint32_t>(tail[2]) << 16;
      [[fallthrough]];
    case 2:
      k ^= static_cast<std::uint32_t>(tail[1]) << 8;
      [[fallthrough]];
    case 1:
      k ^= tail[0];
      h ^= mix_key(k);
  }

  h ^= static_cast<std::uint32_t>(length);
  const std::uint32_t result = final_mix(h);
  std::memcpy(out, &result, sizeof result);
}

}  // namespace quarnix
