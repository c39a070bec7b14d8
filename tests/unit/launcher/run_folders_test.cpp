// The working folder's rights follow the token, and the sweep of earlier runs' folders removes
// exactly the folders of killed runs: over an in-memory temporary directory in which folders can
// be held (a live run, or a file open inside), owned by someone else, links, or changed between
// the sweep's look and its claim.
#include "core/run_folders.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "core/tree_removal.h"

namespace ot {
namespace {

constexpr std::uint32_t kFile = 0x20;
constexpr std::uint32_t kDir = kAttributeDirectory;
constexpr std::uint32_t kLink = kAttributeDirectory | kAttributeReparsePoint;

const std::wstring kTemp = L"C:\\Temp\\";
const std::wstring kOwn = L"{00000000-0000-0000-0000-000000000000}";
const std::wstring kKilledA = L"{11111111-1111-1111-1111-111111111111}";
const std::wstring kKilledB = L"{22222222-2222-2222-2222-222222222222}";
const std::wstring kKilledC = L"{33333333-3333-3333-3333-333333333333}";

// Paths are full Windows paths; a directory's entries are those paths one level below it.
class FakeTemp : public RunFolderSystem {
 public:
  void Add(const std::wstring& path, std::uint32_t attributes) { nodes_[path] = attributes; }
  void Hold(const std::wstring& path) { held_.insert(path); }
  void OwnedByOthers(const std::wstring& path) { others_.insert(path); }
  // When path is claimed, another process drops a file into it.
  void WriteIntoOnClaim(const std::wstring& path) { writeOnClaim_.insert(path); }
  std::uint32_t msPerStep = 0;

  bool Has(const std::wstring& path) const { return nodes_.count(path) != 0; }
  std::set<std::wstring> TopLevel() const {
    std::set<std::wstring> names;
    for (const auto& [path, attributes] : nodes_)
      if (path.find(L'\\', kTemp.size()) == std::wstring::npos) names.insert(path.substr(kTemp.size()));
    return names;
  }

  void ForEachEntry(const std::wstring& dir,
                    const std::function<void(const TreeEntry&)>& visit) override {
    const std::wstring prefix = dir.back() == L'\\' ? dir : dir + L'\\';
    visit(TreeEntry{L".", kDir});
    visit(TreeEntry{L"..", kDir});
    for (const auto& [path, attributes] : nodes_)
      if (path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0 &&
          path.find(L'\\', prefix.size()) == std::wstring::npos)
        visit(TreeEntry{path.c_str() + prefix.size(), attributes});
  }
  bool OwnedLikeOurs(const std::wstring& dir) override { return others_.count(dir) == 0; }
  bool Rename(const std::wstring& from, const std::wstring& to) override {
    if (held_.count(from) || !Has(from) || Has(to)) return false;
    std::map<std::wstring, std::uint32_t> moved;
    for (auto it = nodes_.begin(); it != nodes_.end();) {
      if (it->first == from || it->first.compare(0, from.size() + 1, from + L'\\') == 0) {
        moved[to + it->first.substr(from.size())] = it->second;
        it = nodes_.erase(it);
      } else {
        ++it;
      }
    }
    nodes_.insert(moved.begin(), moved.end());
    if (writeOnClaim_.count(from)) nodes_[to + L"\\dropped.dll"] = kFile;
    return true;
  }
  bool NewGuidText(std::wstring& out) override {
    wchar_t text[39];
    std::swprintf(text, 39, L"{%08X-0000-0000-0000-00000000BEEF}", ++guids_);
    out = text;
    return true;
  }
  void RemoveTree(const std::wstring& path, std::uint32_t budgetMs) override {
    budgets.push_back(budgetMs);
    for (auto it = nodes_.begin(); it != nodes_.end();)
      it = it->first == path || it->first.compare(0, path.size() + 1, path + L'\\') == 0 ? nodes_.erase(it)
                                                                                         : std::next(it);
  }
  std::uint32_t TickMs() override { return clock_ += msPerStep; }

  std::vector<std::uint32_t> budgets;

 private:
  std::map<std::wstring, std::uint32_t> nodes_;
  std::set<std::wstring> held_, others_, writeOnClaim_;
  unsigned guids_ = 0;
  std::uint32_t clock_ = 0xFFFFF000;  // wraps during the sweep
};

void AddRunFolder(FakeTemp& fs, const std::wstring& name, bool dll, bool zip, bool setup) {
  const std::wstring dir = kTemp + name;
  fs.Add(dir, kDir);
  if (dll) fs.Add(dir + L"\\OrvUnzip.dll", kFile);
  if (zip) fs.Add(dir + L"\\Distro.zip", kFile);
  if (setup) {
    fs.Add(dir + L"\\Setup", kDir);
    fs.Add(dir + L"\\Setup\\Orvane.Tessaly.Setup.exe", kFile);
  }
}

TEST(RunFolders, ProtectedRightsFollowTheToken) {
  EXPECT_FALSE(NeedsProtectedFolder(TokenFacts{false, false}));
  EXPECT_TRUE(NeedsProtectedFolder(TokenFacts{true, false}));
  EXPECT_TRUE(NeedsProtectedFolder(TokenFacts{false, true}));
  EXPECT_TRUE(NeedsProtectedFolder(TokenFacts{true, true}));
}

TEST(RunFolders, OnlyTheLaunchersOwnNamesAndEntriesCount) {
  EXPECT_TRUE(IsRunFolderName(L"{6B29FC40-CA47-1067-B31D-00DD010662DA}"));
  EXPECT_FALSE(IsRunFolderName(L"{6b29fc40-ca47-1067-b31d-00dd010662da}"));  // never made so
  EXPECT_FALSE(IsRunFolderName(L"6B29FC40-CA47-1067-B31D-00DD010662DA"));
  EXPECT_FALSE(IsRunFolderName(L"{6B29FC40-CA47-1067-B31D-00DD010662DA}x"));
  EXPECT_FALSE(IsRunFolderName(L"{6B29FC40CA47-1067-B31D-00DD010662DA-}"));
  EXPECT_FALSE(IsRunFolderName(L"{6B29FC40-CA47-1067-B31D-00DD010662DG}"));

  EXPECT_TRUE(IsRunFolderEntry(L"OrvUnzip.dll", kFile));
  EXPECT_TRUE(IsRunFolderEntry(L"distro.ZIP", kFile));
  EXPECT_TRUE(IsRunFolderEntry(L"Setup", kDir));
  EXPECT_FALSE(IsRunFolderEntry(L"Setup", kFile));
  EXPECT_FALSE(IsRunFolderEntry(L"Setup", kLink));
  EXPECT_FALSE(IsRunFolderEntry(L"OrvUnzip.dll", kDir));
  EXPECT_FALSE(IsRunFolderEntry(L"OrvUnzip.dll", kFile | kAttributeReparsePoint));
  EXPECT_FALSE(IsRunFolderEntry(L"notes.txt", kFile));
}

TEST(RunFolders, KilledRunsGoAndNothingElseIsTouched) {
  FakeTemp fs;
  AddRunFolder(fs, kOwn, true, true, true);
  AddRunFolder(fs, kKilledA, true, true, true);
  AddRunFolder(fs, kKilledB, true, false, false);  // died while writing the archive
  fs.Add(kTemp + kKilledC, kDir);                  // died right after making its folder
  const std::wstring live = L"{44444444-4444-4444-4444-444444444444}";
  AddRunFolder(fs, live, true, true, true);
  fs.Hold(kTemp + live);
  const std::wstring extra = L"{55555555-5555-5555-5555-555555555555}";
  AddRunFolder(fs, extra, true, true, true);
  fs.Add(kTemp + extra + L"\\notes.txt", kFile);
  const std::wstring link = L"{66666666-6666-6666-6666-666666666666}";
  fs.Add(kTemp + link, kLink);
  const std::wstring file = L"{77777777-7777-7777-7777-777777777777}";
  fs.Add(kTemp + file, kFile);
  const std::wstring foreign = L"{88888888-8888-8888-8888-888888888888}";
  AddRunFolder(fs, foreign, true, true, true);
  fs.OwnedByOthers(kTemp + foreign);
  const std::wstring setupLink = L"{99999999-9999-9999-9999-999999999999}";
  fs.Add(kTemp + setupLink, kDir);
  fs.Add(kTemp + setupLink + L"\\Setup", kLink);
  AddRunFolder(fs, L"{AAAAAAAA-AAAA-AAAA-AAAA-AAAAAAAAAAA}", true, true, true);  // 37 characters
  AddRunFolder(fs, L"other", true, true, true);

  EXPECT_EQ(SweepEarlierRuns(fs, kTemp, kOwn), 3);
  EXPECT_EQ(fs.TopLevel(),
            (std::set<std::wstring>{kOwn, live, extra, link, file, foreign, setupLink,
                                    L"{AAAAAAAA-AAAA-AAAA-AAAA-AAAAAAAAAAA}", L"other"}));
  EXPECT_TRUE(fs.Has(kTemp + live + L"\\Setup\\Orvane.Tessaly.Setup.exe"));
  EXPECT_TRUE(fs.Has(kTemp + kOwn + L"\\Distro.zip"));
}

TEST(RunFolders, AFolderChangedBeforeItsClaimStaysWholeUnderARunName) {
  FakeTemp fs;
  AddRunFolder(fs, kKilledA, true, true, true);
  fs.WriteIntoOnClaim(kTemp + kKilledA);
  EXPECT_EQ(SweepEarlierRuns(fs, kTemp, kOwn), 1);
  const auto left = fs.TopLevel();
  ASSERT_EQ(left.size(), 1u);
  const std::wstring renamed = *left.begin();
  EXPECT_TRUE(IsRunFolderName(renamed));
  EXPECT_TRUE(fs.Has(kTemp + renamed + L"\\Setup\\Orvane.Tessaly.Setup.exe"));
  EXPECT_TRUE(fs.Has(kTemp + renamed + L"\\dropped.dll"));
  EXPECT_TRUE(fs.budgets.empty());
}

TEST(RunFolders, TheSweepKeepsToItsBudget) {
  FakeTemp fs;
  AddRunFolder(fs, kKilledA, true, true, true);
  AddRunFolder(fs, kKilledB, true, true, true);
  AddRunFolder(fs, kKilledC, true, true, true);
  fs.msPerStep = 400;  // each look at the clock takes this long
  EXPECT_EQ(SweepEarlierRuns(fs, kTemp, kOwn, 1000), 1);
  ASSERT_EQ(fs.budgets.size(), 1u);
  EXPECT_LE(fs.budgets[0], 1000u);
  EXPECT_EQ(fs.TopLevel().size(), 2u);  // what is left waits for the next run
}

}  // namespace
}  // namespace ot
