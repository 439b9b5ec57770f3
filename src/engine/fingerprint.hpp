// BLAKE3 fingerprints of index files and queries and their hexadecimal text; the hashing
// library is warmed up once while only one thread runs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace rivezor {

using Digest = std::array<std::uint8_t, 32>;

Digest blake3_digest(const void* data, std::size_t length);
// The same digest, fed in steps of `step` bytes; after_step(bytes hashed so far) runs after
// each, so the caller can work on those bytes while they are still in cache.
Digest blake3_digest_stepwise(const void* data, std::size_t length, std::size_t step,
                              const std::function<void(std::size_t)>& after_step);
std::string hex_digest(const Digest& digest);
// Fingerprint of a query: its float32 values as they lie in memory (little-endian).
std::string query_fingerprint_hex(const float* values, std::size_t count);
// The reference library detects CPU features lazily and not thread-safely: hash once
// while only one thread runs.
void warm_up_hashing();

}  // namespace rivezor
