// Which Windows builds the launcher accepts: those that can run the .NET Framework 4.6+.
#pragma once
#include <cstdint>

namespace ot {

// build is the third value RtlGetNtVersionNumbers reports; only its low 16 bits count (the
// upper ones carry flags). Accepted: 6002 (Vista SP2), 7601 (7 SP1) and every build from 8400.
bool IsBuildSupported(std::uint32_t build);

}  // namespace ot
