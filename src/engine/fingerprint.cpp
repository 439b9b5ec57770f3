// BLAKE3 digests (plain mode, 32 bytes) over whole mapped files and query vectors,
// rendered as 64 lowercase hex digits.
#include "engine/fingerprint.hpp"

#include "blake3.h"

namespace rivezor {

Digest blake3_digest_stepwise(const void* data, std::size_t length, std::size_t step,
                              const std::function<void(std::size_t)>& after_step) {
    blake3_hasher hasher;
    blake3_hasher_init(&hasher);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    if (step == 0) step = length;
    std::size_t hashed = 0;
    while (hashed < length) {
        const std::size_t n = length - hashed < step ? length - hashed : step;
        blake3_hasher_update(&hasher, bytes + hashed, n);
        hashed += n;
        after_step(hashed);
    }
    Digest out{};
    blake3_hasher_finalize(&hasher, out.data(), out.size());
    return out;
}

Digest blake3_digest(const void* data, std::size_t length) {
    // Large slices: the library parallelises over chunks within one update.
    return blake3_digest_stepwise(data, length, std::size_t{1} << 26, [](std::size_t) {});
}

std::string hex_digest(const Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text(64, '0');
    for (std::size_t i = 0; i < digest.size(); ++i) {
        text[2 * i] = kDigits[digest[i] >> 4];
        text[2 * i + 1] = kDigits[digest[i] & 0x0F];
    }
    return text;
}

std::string query_fingerprint_hex(const float* values, std::size_t count) {
    return hex_digest(blake3_digest(values, count * sizeof(float)));
}

void warm_up_hashing() {
    static const std::uint8_t probe[2048] = {};
    (void)blake3_digest(probe, sizeof(probe));
}

}  // namespace rivezor
