#include "dos_time.h"

#include <ctime>

namespace ot::mkdistro {
namespace {

DosDateTime Pack(int year, int month, int day, int hour, int minute, int second) {
  DosDateTime dos;
  dos.time = static_cast<std::uint16_t>((hour << 11) | (minute << 5) | (second / 2));
  dos.date = static_cast<std::uint16_t>(((year - 1980) << 9) | (month << 5) | day);
  return dos;
}

}  // namespace

DosDateTime ToDosDateTime(std::int64_t unixTime, bool universal) {
  const time_t t = static_cast<time_t>(unixTime);
  std::tm local{};
  const bool converted = universal ? gmtime_r(&t, &local) != nullptr : localtime_r(&t, &local) != nullptr;
  if (static_cast<std::int64_t>(t) != unixTime || !converted) {
    return unixTime < 0 ? Pack(1980, 1, 1, 0, 0, 0) : Pack(2107, 12, 31, 23, 59, 58);
  }
  const int year = local.tm_year + 1900;
  if (year < 1980) return Pack(1980, 1, 1, 0, 0, 0);
  if (year > 2107) return Pack(2107, 12, 31, 23, 59, 58);
  // A leap second (tm_sec 60) is folded into the last step of its minute.
  const int second = local.tm_sec > 59 ? 59 : local.tm_sec;
  return Pack(year, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, second);
}

}  // namespace ot::mkdistro
