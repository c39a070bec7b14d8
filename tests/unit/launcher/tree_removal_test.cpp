// The removal walk over an in-memory tree with a simulated clock: files held by another process
// until some moment, read-only files, files left pending deletion, links whose targets must never
// be entered, and folders swapped for links between the listing and the descent.
#include "core/tree_removal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "fake_folders.h"

namespace ot {
namespace {

using fake::FakeFolders;
using fake::kDir;
using fake::kFile;
using fake::kForever;

constexpr std::uint32_t kErrorFilenameTooLong = 206;
constexpr std::uint32_t kErrorNotADirectory = 267;  // ERROR_DIRECTORY
constexpr RemovalLimits kLimits{5000, 100, false};

// A working folder like the launcher's, below a temporary directory that must survive.
void Populate(FakeFolders& fs) {
  fs.Dir(L"T");
  fs.File(L"T\\neighbour.tmp");
  fs.Dir(L"T\\W");
  fs.File(L"T\\W\\Distro.zip");
  fs.File(L"T\\W\\OrvUnzip.dll");
  fs.Dir(L"T\\W\\Setup");
  fs.File(L"T\\W\\Setup\\Orvane.Tessaly.Setup.exe");
  fs.Dir(L"T\\W\\Setup\\Data");
  fs.File(L"T\\W\\Setup\\Data\\held.dat");
  fs.File(L"T\\W\\Setup\\Data\\other.dat", kFile | 0x2 /* hidden */);
  fs.Dir(L"T\\W\\Setup\\.cfg");
  fs.File(L"T\\W\\Setup\\.cfg\\x");
}

const std::set<std::wstring> kOutside = {L"T", L"T\\neighbour.tmp"};
const std::set<std::wstring> kHeldBranch = {L"T", L"T\\W", L"T\\W\\Setup", L"T\\W\\Setup\\Data",
                                            L"T\\W\\Setup\\Data\\held.dat", L"T\\neighbour.tmp"};

// Holds T\W as the clean-up holds the working folder, removes it through that hold, lets go.
void RemoveW(FakeFolders& fs, RemovalLimits limits = kLimits) {
  Opened temp = fs.OpenDirectory(L"T");
  std::uint32_t error = kRemovalOk;
  Opened held = fs.OpenEntry(*temp, L"W", true, error);
  ASSERT_TRUE(held);
  ObjectFacts facts;
  ASSERT_TRUE(fs.ReadFacts(*held, facts));
  RemoveHeldTree(fs, *held, facts, limits);
}

TEST(TreeRemoval, WholeTreeGoesInOnePassWithoutPausing) {
  FakeFolders fs;
  Populate(fs);
  RemoveW(fs);
  EXPECT_EQ(fs.Paths(), kOutside);
  EXPECT_TRUE(fs.sleeps.empty());
}

TEST(TreeRemoval, ByNameAMissingEntryAndAFileAreLeftAlone) {
  FakeFolders fs;
  Populate(fs);
  Opened temp = fs.OpenDirectory(L"T");
  RemoveNamedTree(fs, *temp, L"gone", kLimits);
  RemoveNamedTree(fs, *temp, L"neighbour.tmp", kLimits);
  EXPECT_EQ(fs.Paths().size(), 12u);
  RemoveNamedTree(fs, *temp, L"w", kLimits);  // names compare as the file system compares them
  EXPECT_EQ(fs.Paths(), kOutside);
  EXPECT_TRUE(fs.sleeps.empty());
}

TEST(TreeRemoval, AFileHeldBrieflyGoesOnALaterPass) {
  FakeFolders fs;
  Populate(fs);
  fs.Hold(L"T\\W\\Setup\\Data\\held.dat", 1200);
  RemoveW(fs);
  EXPECT_EQ(fs.Paths(), kOutside);
  EXPECT_GE(fs.Slept(), 1200u);
  EXPECT_LT(fs.Slept(), 1200u + 2 * kLimits.pauseMs);
  for (std::uint32_t ms : fs.sleeps) EXPECT_EQ(ms, kLimits.pauseMs);
}

TEST(TreeRemoval, AccessDeniedOnAWritableFileIsRetriedToo) {
  FakeFolders fs;
  Populate(fs);
  fs.Hold(L"T\\W\\Setup\\Orvane.Tessaly.Setup.exe", 700, kErrorNoAccess);
  RemoveW(fs);
  EXPECT_EQ(fs.Paths(), kOutside);
  EXPECT_GE(fs.Slept(), 700u);
}

TEST(TreeRemoval, AHeldDirectoryIsRetried) {
  FakeFolders fs;
  Populate(fs);
  fs.Hold(L"T\\W\\Setup\\.cfg", 400);
  RemoveW(fs);
  EXPECT_EQ(fs.Paths(), kOutside);
  EXPECT_GE(fs.Slept(), 400u);
}

TEST(TreeRemoval, AFileHeldPastTheBudgetStaysWithItsFoldersOnly) {
  FakeFolders fs;
  Populate(fs);
  fs.Hold(L"T\\W\\Setup\\Data\\held.dat", kForever);
  RemoveW(fs);
  EXPECT_EQ(fs.Paths(), kHeldBranch);
  EXPECT_LE(fs.Elapsed(), kLimits.budgetMs);
  EXPECT_GE(fs.Elapsed(), kLimits.budgetMs - kLimits.pauseMs);
}

TEST(TreeRemoval, TheBudgetIsForTheWholeTreeNotForEachFile) {
  FakeFolders fs;
  fs.Dir(L"T");
  fs.Dir(L"T\\W");
  for (int i = 0; i < 40; ++i) {
    const std::wstring dir = L"T\\W\\d" + std::to_wstring(i);
    fs.Dir(dir);
    fs.File(dir + L"\\held");
    fs.Hold(dir + L"\\held", kForever);
  }
  RemoveW(fs);
  EXPECT_LE(fs.Elapsed(), kLimits.budgetMs);
  EXPECT_EQ(fs.Paths().size(), 82u);
}

TEST(TreeRemoval, AReadOnlyFileIsNotWaitedFor) {
  FakeFolders fs;
  Populate(fs);
  fs.SetAttributes(L"T\\W\\Setup\\Data\\held.dat", kFile | kAttributeReadOnly);
  RemoveW(fs);
  EXPECT_EQ(fs.Paths(), kHeldBranch);
  EXPECT_TRUE(fs.sleeps.empty());
}

TEST(TreeRemoval, AReadOnlyFileHeldOpenIsWaitedForUntilOnlyItsAttributeKeepsIt) {
  FakeFolders fs;
  Populate(fs);
  fs.SetAttributes(L"T\\W\\Setup\\Data\\held.dat", kFile | kAttributeReadOnly);
  fs.Hold(L"T\\W\\Setup\\Data\\held.dat", 300);
  RemoveW(fs);
  EXPECT_EQ(fs.Paths(), kHeldBranch);
  EXPECT_GE(fs.Slept(), 300u);
  EXPECT_LT(fs.Slept(), 300u + 2 * kLimits.pauseMs);
}

TEST(TreeRemoval, OtherFailuresAreNotRetried) {
  FakeFolders fs;
  Populate(fs);
  fs.Hold(L"T\\W\\Setup\\Data\\held.dat", kForever, kErrorFilenameTooLong);
  RemoveW(fs);
  EXPECT_EQ(fs.Paths(), kHeldBranch);
  EXPECT_TRUE(fs.sleeps.empty());
}

TEST(TreeRemoval, AFilePendingDeletionLetsItsFolderGoOnceClosed) {
  FakeFolders fs;
  Populate(fs);
  fs.SharesDelete(L"T\\W\\Setup\\Data\\held.dat", 600);
  RemoveW(fs);
  EXPECT_EQ(fs.Paths(), kOutside);
  EXPECT_GE(fs.Slept(), 600u);
}

// Links met in the listing: where a link opens as itself (Windows) it is deleted as a link;
// where it opens as its target (Wine) it is left alone. Its target is never listed.
TEST(TreeRemoval, LinksGoAsLinksAndAreNeverEntered) {
  for (const bool linksOpenAsTargets : {false, true}) {
    FakeFolders fs;
    fs.linksOpenAsTargets = linksOpenAsTargets;
    Populate(fs);
    fs.Dir(L"T\\Precious");
    fs.File(L"T\\Precious\\data.txt");
    fs.Link(L"T\\W\\Setup\\Linked", L"T\\Precious");
    fs.Link(L"T\\W\\Up", L"T");
    RemoveW(fs);
    for (const std::wstring& dir : fs.listed) {
      EXPECT_NE(dir, L"T\\Precious");
      EXPECT_NE(dir, L"T");
    }
    std::set<std::wstring> left = {L"T", L"T\\Precious", L"T\\Precious\\data.txt", L"T\\neighbour.tmp"};
    if (linksOpenAsTargets)
      left.insert({L"T\\W", L"T\\W\\Setup", L"T\\W\\Setup\\Linked", L"T\\W\\Up"});
    EXPECT_EQ(fs.Paths(), left);
    EXPECT_TRUE(fs.sleeps.empty());
  }
}

TEST(TreeRemoval, ByNameALinkIsUnlinkedNotEmptied) {
  FakeFolders fs;
  fs.Dir(L"T");
  fs.Dir(L"Outside");
  fs.File(L"Outside\\target-file");
  fs.Link(L"T\\Link", L"Outside");
  Opened temp = fs.OpenDirectory(L"T");
  RemoveNamedTree(fs, *temp, L"Link", kLimits);
  EXPECT_EQ(fs.listed, (std::vector<std::wstring>{L"T"}));
  EXPECT_EQ(fs.Paths(), (std::set<std::wstring>{L"Outside", L"Outside\\target-file", L"T"}));
}

// The other process watches the walk: the moment the first entry below Setup is deleted (Setup
// has been listed by then), it moves Setup's folders away and puts links to a folder outside in
// their place. Whether the system opens those links as links or as their targets, what is opened
// is not what the listing named, and nothing outside is touched.
TEST(TreeRemoval, FoldersSwappedForLinksAfterTheListingAreLeftAlone) {
  for (const bool linksOpenAsTargets : {false, true}) {
    FakeFolders fs;
    fs.linksOpenAsTargets = linksOpenAsTargets;
    Populate(fs);
    fs.Dir(L"T\\Precious");
    fs.File(L"T\\Precious\\keep.txt");
    for (const wchar_t* d : {L"d1", L"d2", L"d3"}) {
      fs.Dir(std::wstring(L"T\\W\\Setup\\") + d);
      fs.File(std::wstring(L"T\\W\\Setup\\") + d + L"\\inside.txt");
    }
    bool swapped = false;
    fs.afterDelete = [&] {
      if (swapped || std::count(fs.listed.begin(), fs.listed.end(), L"T\\W\\Setup") == 0) return;
      swapped = true;
      for (const wchar_t* d : {L"d1", L"d2", L"d3"}) {
        fs.Move(std::wstring(L"T\\W\\Setup\\") + d, std::wstring(L"T\\moved-") + d);
        fs.Link(std::wstring(L"T\\W\\Setup\\") + d, L"T\\Precious");
      }
    };
    RemoveW(fs);
    ASSERT_TRUE(swapped);
    EXPECT_TRUE(fs.Has(L"T\\Precious\\keep.txt"));
    for (const wchar_t* d : {L"d1", L"d2", L"d3"})
      EXPECT_TRUE(fs.Has(std::wstring(L"T\\moved-") + d + L"\\inside.txt"));
    for (const std::wstring& dir : fs.listed) EXPECT_NE(dir, L"T\\Precious");
    EXPECT_TRUE(fs.sleeps.empty());
  }
}

TEST(TreeRemoval, AHardStopStartsNothingAfterTheBudget) {
  FakeFolders fs;
  Populate(fs);
  fs.msPerCall = 100;
  RemoveW(fs, RemovalLimits{450, 100, true});
  // The budget counts from the removal's start, after the 100 ms the hold's own open took.
  for (std::uint32_t at : fs.callTimes) EXPECT_LT(at, 100u + 450u);
  EXPECT_GE(fs.callTimes.back(), 100u + 450u - 100u);
  EXPECT_TRUE(fs.Has(L"T\\W\\Setup"));  // what is left waits for a later run
  EXPECT_TRUE(fs.sleeps.empty());
}

TEST(TreeRemoval, TheBudgetHoldsAcrossAClockWrap) {
  FakeFolders fs(0xFFFFFF00u);
  Populate(fs);
  fs.Hold(L"T\\W\\Setup\\Data\\held.dat", kForever);
  RemoveW(fs);
  EXPECT_EQ(fs.Paths(), kHeldBranch);
  EXPECT_LE(fs.Elapsed(), kLimits.budgetMs);
  EXPECT_GT(fs.sleeps.size(), 10u);
}

TEST(TreeRemoval, RetryDecisions) {
  EXPECT_TRUE(IsWorthRetrying(kErrorSharingViolation, kFile, true));
  EXPECT_TRUE(IsWorthRetrying(kErrorSharingViolation, kFile | kAttributeReadOnly, true));
  EXPECT_TRUE(IsWorthRetrying(kErrorNoAccess, kFile, true));
  EXPECT_TRUE(IsWorthRetrying(kErrorNoAccess, 0, true));
  EXPECT_FALSE(IsWorthRetrying(kErrorNoAccess, kFile | kAttributeReadOnly, true));
  EXPECT_FALSE(IsWorthRetrying(kErrorNoAccess, kDir | kAttributeReadOnly, true));
  EXPECT_TRUE(IsWorthRetrying(kErrorDirNotEmpty, kDir, true));
  EXPECT_FALSE(IsWorthRetrying(kErrorDirNotEmpty, kDir, false));
  EXPECT_FALSE(IsWorthRetrying(kErrorFilenameTooLong, kFile, true));
  EXPECT_FALSE(IsWorthRetrying(kErrorNotADirectory, kFile, true));
}

}  // namespace
}  // namespace ot
