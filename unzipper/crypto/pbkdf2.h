// PBKDF2 with HMAC-SHA1 (RFC 2898 / RFC 8018), any output length.
#pragma once
#include <cstddef>
#include <cstdint>

namespace orv::crypto {

void Pbkdf2HmacSha1(const std::uint8_t* password, std::size_t passwordSize,
                    const std::uint8_t* salt, std::size_t saltSize, std::uint32_t iterations,
                    std::uint8_t* out, std::size_t outSize);

}  // namespace orv::crypto
