// DOS time and date: local time, two-second steps, the 1980..2107 range.
#include <stdlib.h>

#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "dos_time.h"

namespace ot::mkdistro {
namespace {

constexpr std::uint16_t DosTime(int h, int m, int s) { return static_cast<std::uint16_t>(h << 11 | m << 5 | s / 2); }
constexpr std::uint16_t DosDate(int y, int mo, int d) { return static_cast<std::uint16_t>((y - 1980) << 9 | mo << 5 | d); }

class DosTimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = getenv("TZ");
    hadTz_ = tz != nullptr;
    if (hadTz_) savedTz_ = tz;
  }
  void TearDown() override {
    if (hadTz_) setenv("TZ", savedTz_.c_str(), 1); else unsetenv("TZ");
    tzset();
  }
  static void Zone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }
  bool hadTz_ = false;
  std::string savedTz_;
};

TEST_F(DosTimeTest, PacksFieldsAndRoundsOddSecondsDown) {
  Zone("UTC0");
  const DosDateTime t = ToDosDateTime(1645619697);  // 2022-02-23 12:34:57 UTC
  EXPECT_EQ(t.time, DosTime(12, 34, 56));
  EXPECT_EQ(t.date, DosDate(2022, 2, 23));
}

TEST_F(DosTimeTest, UsesLocalTime) {
  Zone("XST-5");  // five hours east of UTC
  const DosDateTime t = ToDosDateTime(1645619697);
  EXPECT_EQ(t.time, DosTime(17, 34, 56));
  EXPECT_EQ(t.date, DosDate(2022, 2, 23));
  // 1979-12-31 23:30 UTC is already 1980 here, so it is not clamped.
  const DosDateTime early = ToDosDateTime(315531000);
  EXPECT_EQ(early.date, DosDate(1980, 1, 1));
  EXPECT_EQ(early.time, DosTime(4, 30, 0));
}

TEST_F(DosTimeTest, ClampsToTheRangeDosCanHold) {
  Zone("UTC0");
  for (std::int64_t before : {std::int64_t{315532799}, std::int64_t{0}, std::int64_t{-86400}}) {
    const DosDateTime t = ToDosDateTime(before);
    EXPECT_EQ(t.date, DosDate(1980, 1, 1)) << before;
    EXPECT_EQ(t.time, 0) << before;
  }
  for (std::int64_t after : {std::int64_t{4354819199}, std::int64_t{4354819200}, std::int64_t{1} << 60}) {
    const DosDateTime t = ToDosDateTime(after);
    EXPECT_EQ(t.date, DosDate(2107, 12, 31)) << after;
    EXPECT_EQ(t.time, DosTime(23, 59, 58)) << after;
  }
}

}  // namespace
}  // namespace ot::mkdistro
