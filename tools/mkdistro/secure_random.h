// Salts must be unpredictable and never repeat under the same password: they come from the
// kernel's cryptographic random source.
#pragma once
#include <cstddef>
#include <cstdint>

namespace ot::mkdistro {

// Fills out with bytes from getrandom(), or /dev/urandom where that call is missing.
// Throws DistroError when neither can deliver.
void FillSecureRandom(std::uint8_t* out, std::size_t size);

}  // namespace ot::mkdistro
