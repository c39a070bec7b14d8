// The working folder's rights follow the token and are checked on its handle, and the sweep of
// earlier runs' folders removes exactly the folders of killed runs: over an in-memory temporary
// directory in which folders can be held (a live run), owned by someone else or with other
// rights, links, changed between the sweep's look and its claim, or swapped after their check.
#include "core/run_folders.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "core/tree_removal.h"
#include "fake_folders.h"

namespace ot {
namespace {

using fake::FakeFolders;
using fake::kDir;
using fake::kDirLink;
using fake::kFile;
using fake::kForever;

const std::wstring kTemp = L"Temp";
const std::wstring kUser = L"S-1-5-21-1-2-3-1001";
const std::wstring kOwn = L"{00000000-0000-0000-0000-000000000000}";
const std::wstring kKilledA = L"{11111111-1111-1111-1111-111111111111}";
const std::wstring kKilledB = L"{22222222-2222-2222-2222-222222222222}";
const std::wstring kKilledC = L"{33333333-3333-3333-3333-333333333333}";

class CountingGuids : public GuidSource {
 public:
  bool NewGuidText(std::wstring& out) override {
    wchar_t text[39];
    std::swprintf(text, 39, L"{%08X-0000-0000-0000-00000000BEEF}", ++count_);
    out = text;
    return true;
  }

 private:
  unsigned count_ = 0;
};

FolderSecurity OwnedBy(const std::wstring& owner) { return FolderSecurity{owner, true, false, {}}; }

FolderSecurity ProtectedSecurity() {
  return FolderSecurity{kAdministratorsSid, true, true,
                        {{0, 3, 0x1F01FF, kSystemSid}, {0, 3, 0x1F01FF, kAdministratorsSid}}};
}

// A run's folder with what it had written when it died.
void AddRunFolder(FakeFolders& fs, const std::wstring& name, bool dll, bool zip, bool setup,
                  const FolderSecurity& security) {
  const std::wstring dir = kTemp + L"\\" + name;
  fs.Dir(dir);
  fs.Secure(dir, security);
  if (dll) fs.File(dir + L"\\OrvUnzip.dll");
  if (zip) fs.File(dir + L"\\Distro.zip");
  if (setup) {
    fs.Dir(dir + L"\\Setup");
    fs.File(dir + L"\\Setup\\Orvane.Tessaly.Setup.exe");
  }
}

std::set<std::wstring> TopLevel(FakeFolders& fs) {
  std::set<std::wstring> names;
  for (const std::wstring& path : fs.Paths())
    if (path.rfind(kTemp + L"\\", 0) == 0 && path.find(L'\\', kTemp.size() + 1) == std::wstring::npos)
      names.insert(path.substr(kTemp.size() + 1));
  return names;
}

int Sweep(FakeFolders& fs, const SweepRule& rule, std::uint32_t budgetMs = kSweepBudgetMs) {
  CountingGuids guids;
  Opened temp = fs.OpenDirectory(kTemp);
  return SweepEarlierRuns(fs, *temp, kOwn, guids, rule, budgetMs);
}

TEST(RunFolders, ProtectedRightsFollowTheToken) {
  EXPECT_FALSE(NeedsProtectedFolder(TokenFacts{false, false}));
  EXPECT_TRUE(NeedsProtectedFolder(TokenFacts{true, false}));
  EXPECT_TRUE(NeedsProtectedFolder(TokenFacts{false, true}));
  EXPECT_TRUE(NeedsProtectedFolder(TokenFacts{true, true}));
}

TEST(RunFolders, OnlyTheLaunchersNamesAndWhatADeadRunLeavesCount) {
  EXPECT_TRUE(IsRunFolderName(L"{6B29FC40-CA47-1067-B31D-00DD010662DA}"));
  EXPECT_FALSE(IsRunFolderName(L"{6b29fc40-ca47-1067-b31d-00dd010662da}"));  // never made so
  EXPECT_FALSE(IsRunFolderName(L"6B29FC40-CA47-1067-B31D-00DD010662DA"));
  EXPECT_FALSE(IsRunFolderName(L"{6B29FC40-CA47-1067-B31D-00DD010662DA}x"));
  EXPECT_FALSE(IsRunFolderName(L"{6B29FC40CA47-1067-B31D-00DD010662DA-}"));
  EXPECT_FALSE(IsRunFolderName(L"{6B29FC40-CA47-1067-B31D-00DD010662DG}"));

  const ListedEntry dll{L"OrvUnzip.dll", kFile, 1}, zip{L"distro.ZIP", kFile, 2}, setup{L"Setup", kDir, 3};
  const ListedEntry dot{L".", kDir, 4}, dotdot{L"..", kDir, 5};
  EXPECT_TRUE(IsLeftByDeadRun({dot, dotdot, dll}));
  EXPECT_TRUE(IsLeftByDeadRun({dll, zip}));
  EXPECT_TRUE(IsLeftByDeadRun({setup, zip, dll}));
  EXPECT_FALSE(IsLeftByDeadRun({dot, dotdot}));  // empty: another program's, or nothing to do
  EXPECT_FALSE(IsLeftByDeadRun({setup}));
  EXPECT_FALSE(IsLeftByDeadRun({dll, setup}));
  EXPECT_FALSE(IsLeftByDeadRun({zip}));
  EXPECT_FALSE(IsLeftByDeadRun({dll, zip, setup, {L"notes.txt", kFile, 6}}));
  EXPECT_FALSE(IsLeftByDeadRun({dll, {L"Distro.zip", kDir, 7}}));
  EXPECT_FALSE(IsLeftByDeadRun({dll, zip, {L"Setup", kDirLink, 8}}));
  EXPECT_FALSE(IsLeftByDeadRun({{L"OrvUnzip.dll", kFile | kAttributeReparsePoint, 9}}));
}

TEST(RunFolders, KilledRunsGoAndNothingElseIsTouched) {
  FakeFolders fs;
  fs.Dir(kTemp);
  const FolderSecurity mine = OwnedBy(kUser);
  AddRunFolder(fs, kOwn, true, true, true, mine);
  AddRunFolder(fs, kKilledA, true, true, true, mine);
  AddRunFolder(fs, kKilledB, true, false, false, mine);  // died while writing the archive
  AddRunFolder(fs, kKilledC, true, true, false, mine);   // died before making Setup
  std::set<std::wstring> stays = {kOwn};
  const auto stay = [&](unsigned digit) {
    const std::wstring name = L"{" + std::wstring(8, L'0' + digit) + L"-0000-0000-0000-000000000000}";
    stays.insert(name);
    return name;
  };
  const std::wstring live = stay(4);
  AddRunFolder(fs, live, true, true, true, mine);
  fs.Hold(kTemp + L"\\" + live, kForever);
  AddRunFolder(fs, stay(5), false, false, false, mine);  // empty: maybe another program's
  const std::wstring onlySetup = stay(6);
  AddRunFolder(fs, onlySetup, false, false, true, mine);
  const std::wstring extra = stay(7);
  AddRunFolder(fs, extra, true, true, true, mine);
  fs.File(kTemp + L"\\" + extra + L"\\notes.txt");
  AddRunFolder(fs, stay(8), true, true, true, OwnedBy(L"S-1-5-21-1-2-3-1002"));
  fs.Dir(L"Elsewhere");
  fs.File(L"Elsewhere\\OrvUnzip.dll");
  fs.Link(kTemp + L"\\" + stay(9), L"Elsewhere");
  fs.File(kTemp + L"\\" + stay(1));  // a file, not a folder
  AddRunFolder(fs, L"{AAAAAAAA-AAAA-AAAA-AAAA-AAAAAAAAAAA}", true, true, true, mine);  // 37 chars
  stays.insert(L"{AAAAAAAA-AAAA-AAAA-AAAA-AAAAAAAAAAA}");
  AddRunFolder(fs, L"other", true, true, true, mine);
  stays.insert(L"other");

  EXPECT_EQ(Sweep(fs, SweepRule{false, kUser}), 3);
  EXPECT_EQ(TopLevel(fs), stays);
  EXPECT_TRUE(fs.Has(kTemp + L"\\" + live + L"\\Setup\\Orvane.Tessaly.Setup.exe"));
  EXPECT_TRUE(fs.Has(kTemp + L"\\" + onlySetup + L"\\Setup\\Orvane.Tessaly.Setup.exe"));
  EXPECT_TRUE(fs.Has(kTemp + L"\\" + kOwn + L"\\Distro.zip"));
  EXPECT_TRUE(fs.Has(L"Elsewhere\\OrvUnzip.dll"));
}

// An elevated run takes only folders that nobody unelevated could have changed: owned by SYSTEM
// or Administrators, with exactly the protected DACL.
TEST(RunFolders, ProtectedRunsTakeOnlyFoldersWithExactlyTheProtectedRights) {
  FolderSecurity system = ProtectedSecurity();
  system.owner = kSystemSid;
  FolderSecurity userOwned = ProtectedSecurity();
  userOwned.owner = kUser;
  FolderSecurity inherited = ProtectedSecurity();
  inherited.daclProtected = false;
  FolderSecurity extraAce = ProtectedSecurity();
  extraAce.aces.push_back({0, 3, 0x1200A9, kUser});
  FolderSecurity inheritedFlag = ProtectedSecurity();
  inheritedFlag.aces[1].flags |= 0x10;
  FolderSecurity lessAccess = ProtectedSecurity();
  lessAccess.aces[0].mask = 0x1200A9;
  FolderSecurity nullDacl = ProtectedSecurity();
  nullDacl.hasDacl = false;
  nullDacl.aces.clear();

  EXPECT_TRUE(IsProtectedFolderSecurity(ProtectedSecurity()));
  EXPECT_TRUE(IsProtectedFolderSecurity(system));
  for (const FolderSecurity& other : {userOwned, inherited, extraAce, inheritedFlag, lessAccess, nullDacl})
    EXPECT_FALSE(IsProtectedFolderSecurity(other));

  FakeFolders fs;
  fs.Dir(kTemp);
  AddRunFolder(fs, kKilledA, true, true, true, ProtectedSecurity());
  AddRunFolder(fs, kKilledB, true, true, true, system);
  const std::vector<FolderSecurity> refused = {userOwned, inherited, extraAce, OwnedBy(kUser)};
  for (std::size_t i = 0; i < refused.size(); ++i)
    AddRunFolder(fs, L"{" + std::wstring(8, L'4' + static_cast<wchar_t>(i)) + L"-0000-0000-0000-000000000000}",
                 true, true, true, refused[i]);
  EXPECT_EQ(Sweep(fs, SweepRule{true, kUser}), 2);
  EXPECT_EQ(TopLevel(fs).size(), refused.size());
  EXPECT_FALSE(fs.Has(kTemp + L"\\" + kKilledA));
}

// The working folder an elevated run has just made: its handle must show a directory, no link,
// and exactly the protected rights, or nothing is written into it.
TEST(RunFolders, TheOwnFolderIsCheckedOnItsHandle) {
  FakeFolders fs;
  fs.Dir(kTemp);
  fs.Dir(kTemp + L"\\good");
  fs.Secure(kTemp + L"\\good", ProtectedSecurity());
  fs.Dir(kTemp + L"\\fat");  // a volume that keeps no rights reports another descriptor
  fs.Secure(kTemp + L"\\fat", OwnedBy(L"S-1-1-0"));
  fs.Dir(kTemp + L"\\target");
  fs.Secure(kTemp + L"\\target", ProtectedSecurity());
  fs.Link(kTemp + L"\\link", kTemp + L"\\target");
  fs.Secure(kTemp + L"\\link", ProtectedSecurity());
  Opened temp = fs.OpenDirectory(kTemp);
  std::uint32_t error = kRemovalOk;
  EXPECT_TRUE(HasProtectedRights(fs, *fs.OpenEntry(*temp, L"good", true, error)));
  EXPECT_FALSE(HasProtectedRights(fs, *fs.OpenEntry(*temp, L"fat", true, error)));
  EXPECT_FALSE(HasProtectedRights(fs, *fs.OpenEntry(*temp, L"link", true, error)));
}

TEST(RunFolders, AFolderChangedBeforeItsClaimStaysWholeUnderARunName) {
  FakeFolders fs;
  fs.Dir(kTemp);
  AddRunFolder(fs, kKilledA, true, true, true, OwnedBy(kUser));
  fs.afterRename = [&] {
    for (const std::wstring& name : TopLevel(fs)) fs.File(kTemp + L"\\" + name + L"\\dropped.dll");
  };
  EXPECT_EQ(Sweep(fs, SweepRule{false, kUser}), 1);
  const auto left = TopLevel(fs);
  ASSERT_EQ(left.size(), 1u);
  const std::wstring renamed = *left.begin();
  EXPECT_TRUE(IsRunFolderName(renamed));
  EXPECT_NE(renamed, kKilledA);
  EXPECT_TRUE(fs.Has(kTemp + L"\\" + renamed + L"\\Setup\\Orvane.Tessaly.Setup.exe"));
  EXPECT_TRUE(fs.Has(kTemp + L"\\" + renamed + L"\\dropped.dll"));
}

// Right after the sweep has read a folder's rights, another process moves the folder away and
// puts a folder of its own, with what looks like a run's files, under the same name. The sweep
// claims and empties the folder it holds and never touches the one now at that name.
TEST(RunFolders, AFolderSwappedAfterItsCheckIsNotWhatGetsDeleted) {
  FakeFolders fs;
  fs.Dir(kTemp);
  AddRunFolder(fs, kKilledA, true, true, true, OwnedBy(kUser));
  fs.Dir(L"Elsewhere");
  bool swapped = false;
  fs.afterSecurityRead = [&] {
    if (swapped) return;
    swapped = true;
    fs.Move(kTemp + L"\\" + kKilledA, L"Elsewhere\\original");
    AddRunFolder(fs, kKilledA, true, true, true, OwnedBy(kUser));
    fs.File(kTemp + L"\\" + kKilledA + L"\\Setup\\precious.doc");
  };
  EXPECT_EQ(Sweep(fs, SweepRule{false, kUser}), 1);
  ASSERT_TRUE(swapped);
  EXPECT_TRUE(fs.Has(kTemp + L"\\" + kKilledA + L"\\Setup\\precious.doc"));
  EXPECT_TRUE(fs.Has(kTemp + L"\\" + kKilledA + L"\\OrvUnzip.dll"));
  EXPECT_EQ(TopLevel(fs), (std::set<std::wstring>{kKilledA}));
  EXPECT_FALSE(fs.Has(L"Elsewhere\\original"));
}

TEST(RunFolders, TheSweepStartsNothingAfterItsBudget) {
  FakeFolders fs;
  fs.Dir(kTemp);
  for (const std::wstring& name : {kKilledA, kKilledB, kKilledC})
    AddRunFolder(fs, name, true, true, true, OwnedBy(kUser));
  fs.msPerCall = 120;  // each open, listing, rename and delete takes this long
  const int claimed = Sweep(fs, SweepRule{false, kUser}, 1000);
  EXPECT_GE(claimed, 1);
  for (std::uint32_t at : fs.callTimes) EXPECT_LT(at, 1000u);
  EXPECT_GE(TopLevel(fs).size(), 2u);  // what is left waits for the next run
  EXPECT_TRUE(fs.sleeps.empty());
}

}  // namespace
}  // namespace ot
