#include "core/build_check.h"

#include <gtest/gtest.h>

namespace ot {
namespace {

TEST(BuildCheck, BoundariesAroundEachAcceptedBuild) {
  for (std::uint32_t b : {6002u, 7601u, 8400u, 9200u, 9600u, 10240u, 19045u, 22000u, 26100u, 65535u})
    EXPECT_TRUE(IsBuildSupported(b)) << b;
  for (std::uint32_t b : {0u, 2600u, 3790u, 6000u, 6001u, 6003u, 7600u, 7602u, 8399u})
    EXPECT_FALSE(IsBuildSupported(b)) << b;
}

TEST(BuildCheck, OnlyTheLowSixteenBitsCount) {
  EXPECT_TRUE(IsBuildSupported(0xF0001DB1u));   // 7601 with flag bits, as Windows 7 reports it
  EXPECT_FALSE(IsBuildSupported(0xF0000A28u));  // 2600 with flag bits
  EXPECT_FALSE(IsBuildSupported(65536u));       // low bits 0
  EXPECT_FALSE(IsBuildSupported(0xFFFF0000u));
  EXPECT_TRUE(IsBuildSupported(0x80002580u));   // 9600
}

}  // namespace
}  // namespace ot
