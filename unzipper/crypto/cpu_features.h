// Run-time choice between the portable code and the x86 instruction-set extensions.
//
// The AES and SHA-1 code asks UseAesNi()/UseShaNi() on every call that processes data, so a
// test can switch to the portable path and back at any time (from one thread at a time).
#pragma once

namespace orv::crypto {

// What the processor offers (the answer is worked out once and kept).
bool CpuHasAesNi();  // AES-NI with SSE4.1
bool CpuHasShaNi();  // SHA extensions with SSE4.1

// true: use only the portable code even where the processor could do better.
void ForcePortableCrypto(bool force);

// What the crypto code uses right now.
bool UseAesNi();
bool UseShaNi();

}  // namespace orv::crypto
