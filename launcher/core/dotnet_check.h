// Whether the .NET Framework 4.6 or later is installed, from the release number its setup
// records under HKLM\SOFTWARE\Microsoft\NET Framework Setup\NDP\v4\Full.
#pragma once
#include <cstdint>

#include "core/registry.h"

namespace ot {

constexpr wchar_t kDotNetKeyPath[] = L"SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4\\Full";
constexpr wchar_t kDotNetReleaseValue[] = L"Release";
constexpr std::int32_t kDotNet46Release = 393295;

// The test itself: never fails toward the caller, every key it opens is closed on every path.
bool IsDotNetInstalled(Registry& registry);

}  // namespace ot
