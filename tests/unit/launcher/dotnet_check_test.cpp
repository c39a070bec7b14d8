#include "core/dotnet_check.h"

#include <gtest/gtest.h>

#include "fake_registry.h"

namespace ot {
namespace {

using test::DwordValue;
using test::FakeRegistry;
using test::FakeValue;
using test::TextValue;

bool CheckWithRelease(const FakeValue& value) {
  FakeRegistry registry;
  registry.AddKey(RootKey::LocalMachine, kDotNetKeyPath).values[kDotNetReleaseValue] = value;
  const bool result = IsDotNetInstalled(registry);
  EXPECT_EQ(registry.OpenHandles(), 0);
  return result;
}

TEST(DotNetCheck, ThresholdIs46Release) {
  EXPECT_FALSE(CheckWithRelease(DwordValue(393294)));
  EXPECT_TRUE(CheckWithRelease(DwordValue(393295)));
  EXPECT_TRUE(CheckWithRelease(DwordValue(528040)));  // 4.8
  EXPECT_TRUE(CheckWithRelease(DwordValue(533325)));  // 4.8.1
  EXPECT_FALSE(CheckWithRelease(DwordValue(378389)));  // 4.5
  EXPECT_FALSE(CheckWithRelease(DwordValue(0xFFFFFFFFu)));  // reads as -1
  EXPECT_FALSE(CheckWithRelease(DwordValue(0x80060000u)));  // negative however large
}

TEST(DotNetCheck, OnlyAFourByteDwordCounts) {
  EXPECT_FALSE(CheckWithRelease(TextValue(L"528040")));
  EXPECT_FALSE(CheckWithRelease(TextValue(L"528040", kRegExpandSz)));
  EXPECT_FALSE(CheckWithRelease(DwordValue(528040, kRegBinary)));
  EXPECT_FALSE(CheckWithRelease(DwordValue(528040, kRegDwordBigEndian)));
  FakeValue qword = DwordValue(528040, kRegQword);
  qword.data.resize(8, 0);
  EXPECT_FALSE(CheckWithRelease(qword));
  FakeValue shortDword = DwordValue(528040);
  shortDword.data.resize(3);
  EXPECT_FALSE(CheckWithRelease(shortDword));
  FakeValue longDword = DwordValue(528040);
  longDword.data.resize(6, 0);
  EXPECT_FALSE(CheckWithRelease(longDword));
}

TEST(DotNetCheck, MissingKeyOrValue) {
  FakeRegistry none;
  EXPECT_FALSE(IsDotNetInstalled(none));
  // Only .NET 5+ style keys, no Framework 4.x.
  none.AddKey(RootKey::LocalMachine, L"SOFTWARE\\dotnet\\Setup\\InstalledVersions\\x86")
      .values[L"Version"] = TextValue(L"6.0.0");
  EXPECT_FALSE(IsDotNetInstalled(none));

  FakeRegistry noValue;
  noValue.AddKey(RootKey::LocalMachine, kDotNetKeyPath).values[L"Version"] = TextValue(L"4.8.09032");
  EXPECT_FALSE(IsDotNetInstalled(noValue));
  EXPECT_EQ(noValue.OpenHandles(), 0);
}

TEST(DotNetCheck, ProbesThenOpensWithReadRights) {
  FakeRegistry registry;
  registry.AddKey(RootKey::LocalMachine, kDotNetKeyPath).values[kDotNetReleaseValue] = DwordValue(528040);
  EXPECT_TRUE(IsDotNetInstalled(registry));
  EXPECT_EQ(registry.openedRights, (std::vector<std::uint32_t>{0x20009, 0x20019}));

  FakeRegistry refused;
  auto& key = refused.AddKey(RootKey::LocalMachine, kDotNetKeyPath);
  key.values[kDotNetReleaseValue] = DwordValue(528040);
  key.refusedRights.insert(kKeyRead);  // the probe works, the real open is refused
  EXPECT_FALSE(IsDotNetInstalled(refused));
  EXPECT_EQ(refused.OpenHandles(), 0);
}

}  // namespace
}  // namespace ot
