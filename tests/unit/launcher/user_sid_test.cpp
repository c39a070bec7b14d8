#include "core/user_sid.h"

#include <gtest/gtest.h>

#include <cwctype>

#include "fake_registry.h"

namespace ot {
namespace {

using test::DwordValue;
using test::FakeRegistry;
using test::TextValue;

constexpr wchar_t kUser[] = L"S-1-5-21-1004336348-1177238915-682003330-1001";
constexpr wchar_t kMarker[] = L"{6F9619FF-8B86-D011-B42D-00C04FC964FF}";

class FixedGuid : public GuidSource {
 public:
  explicit FixedGuid(std::wstring text, bool ok = true) : text_(std::move(text)), ok_(ok) {}
  bool NewGuidText(std::wstring& text) override {
    text = text_;
    return ok_;
  }

 private:
  std::wstring text_;
  bool ok_;
};

// HKEY_USERS as a machine shows it: .DEFAULT, the system account, the user and its _Classes twin.
// The user's hive is HKCU: the fake mirrors writes to HKCU\SOFTWARE under the user's SID too.
class MirroredRegistry : public FakeRegistry {
 public:
  MirroredRegistry() {
    AddUserHive(L".DEFAULT");
    AddUserHive(L"S-1-5-18");
    AddUserHive(kUser);
    AddUserHive(std::wstring(kUser) + L"_Classes");
    AddKey(RootKey::Users, L".DEFAULT\\SOFTWARE");
    AddKey(RootKey::Users, L"S-1-5-18\\SOFTWARE").refuseAll = true;
    AddKey(RootKey::Users, std::wstring(kUser) + L"\\SOFTWARE");
    AddKey(RootKey::CurrentUser, L"SOFTWARE");
  }
  long SetStringValue(KeyHandle key, std::wstring_view name, std::wstring_view text) override {
    const long status = FakeRegistry::SetStringValue(key, name, text);
    if (status == kErrorSuccess)
      AddKey(RootKey::Users, std::wstring(kUser) + L"\\SOFTWARE").values[std::wstring(name)] =
          TextValue(std::wstring(text));
    return status;
  }
  long DeleteValue(KeyHandle key, std::wstring_view name) override {
    AddKey(RootKey::Users, std::wstring(kUser) + L"\\SOFTWARE").values.erase(std::wstring(name));
    return FakeRegistry::DeleteValue(key, name);
  }
  FakeRegistry::Key& Hive(const std::wstring& name) {
    return AddKey(RootKey::Users, name + L"\\SOFTWARE");
  }
  bool MarkerLeft() const { return HasValue(RootKey::CurrentUser, L"SOFTWARE", MarkerValueName()); }
};

TEST(UserSid, FindsTheUsersOwnHiveAndRemovesTheMarker) {
  MirroredRegistry registry;
  FixedGuid guid(kMarker);
  EXPECT_EQ(MarkerValueName(), L"Orvane Tessaly Id");
  EXPECT_EQ(GetUserSid(registry, guid), kUser);
  EXPECT_FALSE(registry.MarkerLeft());
  EXPECT_EQ(registry.OpenHandles(), 0);
}

TEST(UserSid, StaleLowerCaseAndEmptyMarkersDoNotMatch) {
  MirroredRegistry registry;
  // Listed before the user's hive: an older run's marker, the same GUID in lower case, an empty value.
  registry.Hive(L".DEFAULT").values[MarkerValueName()] =
      TextValue(L"{00000000-1111-2222-3333-444444444444}");
  std::wstring lower = kMarker;
  for (auto& c : lower) c = static_cast<wchar_t>(std::towlower(c));
  registry.AddUserHive(L"S-1-5-20");
  registry.Hive(L"S-1-5-20").values[MarkerValueName()] = TextValue(lower);
  FixedGuid guid(kMarker);
  EXPECT_EQ(GetUserSid(registry, guid), kUser);

  MirroredRegistry empty;
  empty.Hive(L".DEFAULT").values[MarkerValueName()] = test::FakeValue{kRegSz, {}};
  EXPECT_EQ(GetUserSid(empty, guid), kUser);
  EXPECT_EQ(empty.OpenHandles(), 0);
}

TEST(UserSid, ExpandSzMatchesAndFirstListedWins) {
  FakeRegistry registry;
  registry.AddKey(RootKey::CurrentUser, L"SOFTWARE");
  registry.AddUserHive(L"S-1-5-21-1-2-3-500");
  registry.AddUserHive(L"S-1-5-21-1-2-3-501");
  registry.AddKey(RootKey::Users, L"S-1-5-21-1-2-3-500\\SOFTWARE").values[MarkerValueName()] =
      TextValue(kMarker, kRegExpandSz);
  registry.AddKey(RootKey::Users, L"S-1-5-21-1-2-3-501\\SOFTWARE").values[MarkerValueName()] =
      TextValue(kMarker);
  EXPECT_EQ(FindUserSid(registry, kMarker), L"S-1-5-21-1-2-3-500");
  EXPECT_EQ(registry.OpenHandles(), 0);
}

TEST(UserSid, ANonTextMarkerEndsTheSearchAndLeavesTheMarker) {
  MirroredRegistry registry;
  registry.Hive(L".DEFAULT").values[MarkerValueName()] = DwordValue(7);
  FixedGuid guid(kMarker);
  EXPECT_EQ(GetUserSid(registry, guid), kUserSidPlaceholder);
  EXPECT_TRUE(registry.MarkerLeft());
  EXPECT_EQ(registry.OpenHandles(), 0);
}

TEST(UserSid, UnlistableUsersGivesThePlaceholderButStillDeletesTheMarker) {
  MirroredRegistry registry;
  registry.refuseUsersRoot = true;
  FixedGuid guid(kMarker);
  EXPECT_EQ(GetUserSid(registry, guid), kUserSidPlaceholder);
  EXPECT_FALSE(registry.MarkerLeft());
  EXPECT_EQ(registry.OpenHandles(), 0);
}

TEST(UserSid, AnIndexThatFailsToEnumerateIsPassedOver) {
  MirroredRegistry registry;
  registry.FailEnumAt(1);
  FixedGuid guid(kMarker);
  EXPECT_EQ(GetUserSid(registry, guid), kUser);
}

TEST(UserSid, FailuresBeforeTheSearchGiveThePlaceholderNeverAnEmptyText) {
  FixedGuid guid(kMarker);
  FakeRegistry noSoftware;  // HKCU\SOFTWARE cannot be opened
  EXPECT_EQ(GetUserSid(noSoftware, guid), kUserSidPlaceholder);

  MirroredRegistry refusedWrite;
  refusedWrite.setValueStatus = kErrorAccessDenied;
  EXPECT_EQ(GetUserSid(refusedWrite, guid), kUserSidPlaceholder);
  EXPECT_FALSE(refusedWrite.MarkerLeft());

  MirroredRegistry noGuid;
  FixedGuid broken(L"", false);
  EXPECT_EQ(GetUserSid(noGuid, broken), kUserSidPlaceholder);
  EXPECT_EQ(noGuid.TotalOpens(), 0);  // nothing was written
}

TEST(UserSid, AnExistingMarkerIsReplacedAndRemoved) {
  MirroredRegistry registry;
  registry.AddKey(RootKey::CurrentUser, L"SOFTWARE").values[MarkerValueName()] =
      TextValue(L"{AAAAAAAA-0000-0000-0000-000000000000}");
  FixedGuid guid(kMarker);
  EXPECT_EQ(GetUserSid(registry, guid), kUser);
  EXPECT_FALSE(registry.MarkerLeft());
}

TEST(UserSid, PerHiveKeysUseTheRightsThatOpenedUsers) {
  MirroredRegistry registry;
  FixedGuid guid(kMarker);
  GetUserSid(registry, guid);
  // HKCU\SOFTWARE with all access, HKEY_USERS and every SOFTWARE key with KEY_READ.
  ASSERT_GE(registry.openedRights.size(), 3u);
  EXPECT_EQ(registry.openedRights[0], kKeyAllAccess);
  for (std::size_t i = 1; i < registry.openedRights.size(); ++i)
    EXPECT_EQ(registry.openedRights[i], kKeyRead);
}

}  // namespace
}  // namespace ot
