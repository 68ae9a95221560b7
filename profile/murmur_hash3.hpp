// MurmurHash3, 32-bit x86 variant. Path hashes are stored in profiles and
// compared across programs, so this must match the published algorithm bit for bit.
#pragma once

#include <cstdint>

namespace quarnix {

// Hashes `length` bytes of `key` with `seed` and stores the 32-bit result at
// `out`. A negative length hashes no bytes.
void MurmurHash3_x86_32(const void* key, int length, std::uint32_t seed, void* out);

}  // namespace quarnix
