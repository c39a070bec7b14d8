// MS-DOS time and date of a file's modification time, as ZIP headers carry them: local time
// (or UTC, for builds that must not depend on the build machine's zone), two-second steps,
// years 1980 to 2107.
#pragma once
#include <cstdint>

namespace ot::mkdistro {

struct DosDateTime {
  std::uint16_t time = 0;  // hour << 11 | minute << 5 | second / 2
  std::uint16_t date = 0;  // (year - 1980) << 9 | month << 5 | day
};

// Converts seconds since 1970 to DOS time in the local zone, or in UTC when universal is set.
// Times before 1980-01-01 00:00:00 give that moment, times after 2107-12-31 23:59:58 give
// that one; odd seconds round down.
DosDateTime ToDosDateTime(std::int64_t unixTime, bool universal = false);

}  // namespace ot::mkdistro
