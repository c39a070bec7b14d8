#include "core/build_check.h"

namespace ot {

namespace {
constexpr std::uint16_t kLowestOpenEndedBuild = 8400;
constexpr std::uint16_t kVistaSp2Build = 6002;
constexpr std::uint16_t kWindows7Sp1Build = 7601;
}  // namespace

bool IsBuildSupported(std::uint32_t build) {
  const auto b = static_cast<std::uint16_t>(build & 0xFFFFu);
  return b >= kLowestOpenEndedBuild || b == kWindows7Sp1Build || b == kVistaSp2Build;
}

}  // namespace ot
