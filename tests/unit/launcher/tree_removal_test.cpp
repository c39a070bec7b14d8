// The tree removal's walk and retry decisions over an in-memory file system with a simulated
// clock: files held by another process until some moment, read-only files, files left pending
// deletion, links whose targets must never be entered.
#include "core/tree_removal.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace ot {
namespace {

constexpr std::uint32_t kForever = 0xFFFFFFFF;
constexpr std::uint32_t kFileAttributes = 0x20;
constexpr std::uint32_t kErrorNotADirectory = 267;  // ERROR_DIRECTORY
constexpr std::uint32_t kErrorFilenameTooLong = 206;
constexpr RemovalLimits kLimits{5000, 100};

class FakeTree : public TreeFileSystem {
 public:
  struct Node {
    std::uint32_t attributes;
    std::uint32_t heldUntil = 0;  // another process holds it open until this moment
    std::uint32_t heldError = kErrorSharingViolation;
    bool pending = false;         // deleted, but still open elsewhere until heldUntil
  };

  explicit FakeTree(std::uint32_t startMs = 0) : clock_(startMs), start_(startMs) {}

  void Dir(const std::wstring& path, std::uint32_t attributes = kAttributeDirectory) {
    nodes_[path] = Node{attributes};
  }
  void File(const std::wstring& path, std::uint32_t attributes = kFileAttributes) {
    nodes_[path] = Node{attributes};
  }
  void Hold(const std::wstring& path, std::uint32_t forMs, std::uint32_t error = kErrorSharingViolation) {
    nodes_.at(path).heldUntil = forMs == kForever ? kForever : start_ + forMs;
    nodes_.at(path).heldError = error;
  }
  // Deletes succeed, but the file stays listed until the other handle closes.
  void SharesDelete(const std::wstring& path, std::uint32_t forMs) {
    Hold(path, forMs);
    shareDelete_.insert(path);
  }

  std::vector<std::wstring> Left() {
    Expire();
    std::vector<std::wstring> left;
    for (const auto& [path, node] : nodes_) left.push_back(path);
    return left;
  }

  std::uint32_t Attributes(const std::wstring& path) override {
    Expire();
    auto it = nodes_.find(path);
    return it == nodes_.end() ? kNoAttributes : it->second.attributes;
  }

  void ForEachEntry(const std::wstring& dir,
                    const std::function<void(const TreeEntry&)>& visit) override {
    Expire();
    listed.push_back(dir);
    auto it = nodes_.find(dir);
    if (it == nodes_.end() || !(it->second.attributes & kAttributeDirectory)) return;
    std::vector<std::pair<std::wstring, std::uint32_t>> entries = {{L".", kAttributeDirectory},
                                                                   {L"..", kAttributeDirectory}};
    for (const auto& [path, node] : nodes_) {
      if (path.size() > dir.size() + 1 && path.compare(0, dir.size(), dir) == 0 &&
          path[dir.size()] == L'\\' && path.find(L'\\', dir.size() + 1) == std::wstring::npos)
        entries.emplace_back(path.substr(dir.size() + 1), node.attributes);
    }
    for (const auto& [name, attributes] : entries) visit(TreeEntry{name.c_str(), attributes});
  }

  std::uint32_t DeleteOneFile(const std::wstring& path) override {
    Expire();
    ++deletes;
    auto it = nodes_.find(path);
    if (it == nodes_.end()) return kErrorFileMissing;
    Node& node = it->second;
    if (node.pending) return kErrorAccessDenied;
    if ((node.attributes & kAttributeDirectory) && !(node.attributes & kAttributeReparsePoint))
      return kErrorAccessDenied;
    if (Held(node) && !shareDelete_.count(path)) return node.heldError;
    if (node.attributes & kAttributeReadOnly) return kErrorAccessDenied;
    if (Held(node)) {
      node.pending = true;
      return kRemovalOk;
    }
    nodes_.erase(it);
    return kRemovalOk;
  }

  std::uint32_t RemoveOneDirectory(const std::wstring& path) override {
    Expire();
    auto it = nodes_.find(path);
    if (it == nodes_.end()) return kErrorFileMissing;
    const Node& node = it->second;
    if (!(node.attributes & kAttributeDirectory)) return kErrorNotADirectory;
    if (Held(node)) return node.heldError;
    if (linksLookThrough && (node.attributes & kAttributeReparsePoint)) return kErrorDirNotEmpty;
    if (!(node.attributes & kAttributeReparsePoint)) {
      auto next = nodes_.lower_bound(path + L"\\");
      if (next != nodes_.end() && next->first.compare(0, path.size() + 1, path + L"\\") == 0)
        return kErrorDirNotEmpty;
    }
    if (node.attributes & kAttributeReadOnly) return kErrorAccessDenied;
    // What is listed below a link is its target's: it vanishes from here with the link.
    const std::wstring below = path + L"\\";
    nodes_.erase(it);
    for (auto child = nodes_.lower_bound(below);
         child != nodes_.end() && child->first.compare(0, below.size(), below) == 0;)
      child = nodes_.erase(child);
    return kRemovalOk;
  }

  std::uint32_t TickMs() override { return clock_; }
  void Sleep(std::uint32_t ms) override {
    sleeps.push_back(ms);
    clock_ += ms;
  }

  std::uint32_t Elapsed() const { return clock_ - start_; }
  std::uint32_t Slept() const {
    std::uint32_t total = 0;
    for (std::uint32_t ms : sleeps) total += ms;
    return total;
  }

  bool linksLookThrough = false;  // as under Wine: a link to a folder with files is "not empty"
  std::vector<std::wstring> listed;
  std::vector<std::uint32_t> sleeps;
  int deletes = 0;

 private:
  bool Held(const Node& node) const {
    return node.heldUntil == kForever || (node.heldUntil != 0 && clock_ - start_ < node.heldUntil - start_);
  }
  // Pending deletions complete when the other handle closes.
  void Expire() {
    for (auto it = nodes_.begin(); it != nodes_.end();) {
      if (it->second.pending && !Held(it->second)) it = nodes_.erase(it);
      else ++it;
    }
  }

  std::map<std::wstring, Node> nodes_;
  std::set<std::wstring> shareDelete_;
  std::uint32_t clock_;
  std::uint32_t start_;
};

// A working directory like the launcher's, below a temporary directory that must survive.
void Populate(FakeTree& fs) {
  fs.Dir(L"T");
  fs.File(L"T\\neighbour.tmp");
  fs.Dir(L"T\\W");
  fs.File(L"T\\W\\Distro.zip");
  fs.File(L"T\\W\\OrvUnzip.dll");
  fs.Dir(L"T\\W\\Setup");
  fs.File(L"T\\W\\Setup\\Orvane.Tessaly.Setup.exe");
  fs.Dir(L"T\\W\\Setup\\Data");
  fs.File(L"T\\W\\Setup\\Data\\held.dat");
  fs.File(L"T\\W\\Setup\\Data\\other.dat", kFileAttributes | 0x2 /* hidden */);
  fs.Dir(L"T\\W\\Setup\\.cfg");
  fs.File(L"T\\W\\Setup\\.cfg\\x");
}

const std::vector<std::wstring> kOutside = {L"T", L"T\\neighbour.tmp"};
const std::vector<std::wstring> kHeldBranch = {L"T", L"T\\W", L"T\\W\\Setup", L"T\\W\\Setup\\Data",
                                               L"T\\W\\Setup\\Data\\held.dat", L"T\\neighbour.tmp"};

TEST(TreeRemoval, WholeTreeGoesInOnePassWithoutPausing) {
  FakeTree fs;
  Populate(fs);
  RemoveTree(fs, L"T\\W", kLimits);
  EXPECT_EQ(fs.Left(), kOutside);
  EXPECT_TRUE(fs.sleeps.empty());
}

TEST(TreeRemoval, MissingPathIsLeftAloneWithoutPausing) {
  FakeTree fs;
  Populate(fs);
  RemoveTree(fs, L"T\\gone", kLimits);
  EXPECT_EQ(fs.Left().size(), 12u);
  EXPECT_TRUE(fs.sleeps.empty());
}

TEST(TreeRemoval, AFileIsNotADirectoryAndStays) {
  FakeTree fs;
  Populate(fs);
  RemoveTree(fs, L"T\\neighbour.tmp", kLimits);
  EXPECT_EQ(fs.Left().size(), 12u);
  EXPECT_TRUE(fs.sleeps.empty());
}

TEST(TreeRemoval, AFileHeldBrieflyGoesOnALaterPass) {
  FakeTree fs;
  Populate(fs);
  fs.Hold(L"T\\W\\Setup\\Data\\held.dat", 1200);
  RemoveTree(fs, L"T\\W", kLimits);
  EXPECT_EQ(fs.Left(), kOutside);
  EXPECT_GE(fs.Slept(), 1200u);
  EXPECT_LT(fs.Slept(), 1200u + 2 * kLimits.pauseMs);
  for (std::uint32_t ms : fs.sleeps) EXPECT_EQ(ms, kLimits.pauseMs);
}

TEST(TreeRemoval, AccessDeniedOnAWritableFileIsRetriedToo) {
  FakeTree fs;
  Populate(fs);
  fs.Hold(L"T\\W\\Setup\\Orvane.Tessaly.Setup.exe", 700, kErrorAccessDenied);
  RemoveTree(fs, L"T\\W", kLimits);
  EXPECT_EQ(fs.Left(), kOutside);
  EXPECT_GE(fs.Slept(), 700u);
}

TEST(TreeRemoval, AHeldDirectoryIsRetried) {
  FakeTree fs;
  Populate(fs);
  fs.Hold(L"T\\W\\Setup\\.cfg", 400);
  RemoveTree(fs, L"T\\W", kLimits);
  EXPECT_EQ(fs.Left(), kOutside);
  EXPECT_GE(fs.Slept(), 400u);
}

TEST(TreeRemoval, AFileHeldPastTheBudgetStaysWithItsFoldersOnly) {
  FakeTree fs;
  Populate(fs);
  fs.Hold(L"T\\W\\Setup\\Data\\held.dat", kForever);
  RemoveTree(fs, L"T\\W", kLimits);
  EXPECT_EQ(fs.Left(), kHeldBranch);
  EXPECT_LE(fs.Elapsed(), kLimits.budgetMs);
  EXPECT_GE(fs.Elapsed(), kLimits.budgetMs - kLimits.pauseMs);
}

TEST(TreeRemoval, TheBudgetIsForTheWholeTreeNotForEachFile) {
  FakeTree fs;
  fs.Dir(L"W");
  for (int i = 0; i < 40; ++i) {
    const std::wstring dir = L"W\\d" + std::to_wstring(i);
    fs.Dir(dir);
    fs.File(dir + L"\\held");
    fs.Hold(dir + L"\\held", kForever);
  }
  RemoveTree(fs, L"W", kLimits);
  EXPECT_LE(fs.Elapsed(), kLimits.budgetMs);
  EXPECT_EQ(fs.Left().size(), 81u);
}

TEST(TreeRemoval, AReadOnlyFileIsNotWaitedFor) {
  FakeTree fs;
  Populate(fs);
  fs.File(L"T\\W\\Setup\\Data\\held.dat", kFileAttributes | kAttributeReadOnly);
  RemoveTree(fs, L"T\\W", kLimits);
  EXPECT_EQ(fs.Left(), kHeldBranch);
  EXPECT_TRUE(fs.sleeps.empty());
}

TEST(TreeRemoval, AReadOnlyFileHeldOpenIsWaitedForUntilOnlyItsAttributeKeepsIt) {
  FakeTree fs;
  Populate(fs);
  fs.File(L"T\\W\\Setup\\Data\\held.dat", kFileAttributes | kAttributeReadOnly);
  fs.Hold(L"T\\W\\Setup\\Data\\held.dat", 300);
  RemoveTree(fs, L"T\\W", kLimits);
  EXPECT_EQ(fs.Left(), kHeldBranch);
  EXPECT_GE(fs.Slept(), 300u);
  EXPECT_LT(fs.Slept(), 300u + 2 * kLimits.pauseMs);
}

TEST(TreeRemoval, OtherFailuresAreNotRetried) {
  FakeTree fs;
  Populate(fs);
  fs.Hold(L"T\\W\\Setup\\Data\\held.dat", kForever, kErrorFilenameTooLong);
  RemoveTree(fs, L"T\\W", kLimits);
  EXPECT_EQ(fs.Left(), kHeldBranch);
  EXPECT_TRUE(fs.sleeps.empty());
}

TEST(TreeRemoval, AFilePendingDeletionLetsItsFolderGoOnceClosed) {
  FakeTree fs;
  Populate(fs);
  fs.SharesDelete(L"T\\W\\Setup\\Data\\held.dat", 600);
  RemoveTree(fs, L"T\\W", kLimits);
  EXPECT_EQ(fs.Left(), kOutside);
  EXPECT_GE(fs.Slept(), 600u);
}

TEST(TreeRemoval, LinksAreUnlinkedAndNeverEntered) {
  FakeTree fs;
  Populate(fs);
  fs.Dir(L"T\\Precious");
  fs.File(L"T\\Precious\\data.txt");
  // What the links point at is outside; listing a link would show its target's contents.
  fs.Dir(L"T\\W\\Setup\\Linked", kAttributeDirectory | kAttributeReparsePoint);
  fs.File(L"T\\W\\Setup\\Linked\\data.txt");
  fs.File(L"T\\W\\Setup\\file-link", kFileAttributes | kAttributeReparsePoint);
  RemoveTree(fs, L"T\\W", kLimits);
  for (const std::wstring& dir : fs.listed) EXPECT_NE(dir, L"T\\W\\Setup\\Linked");
  EXPECT_EQ(fs.Left(), (std::vector<std::wstring>{L"T", L"T\\Precious", L"T\\Precious\\data.txt",
                                                  L"T\\neighbour.tmp"}));
  EXPECT_TRUE(fs.sleeps.empty());
}

TEST(TreeRemoval, ALinkThatCannotBeRemovedIsNotWaitedFor) {
  FakeTree fs;
  fs.linksLookThrough = true;
  Populate(fs);
  fs.Dir(L"T\\W\\Setup\\Linked", kAttributeDirectory | kAttributeReparsePoint);
  fs.File(L"T\\W\\Setup\\Linked\\data.txt");
  RemoveTree(fs, L"T\\W", kLimits);
  for (const std::wstring& dir : fs.listed) EXPECT_NE(dir, L"T\\W\\Setup\\Linked");
  EXPECT_EQ(fs.Left(), (std::vector<std::wstring>{L"T", L"T\\W", L"T\\W\\Setup", L"T\\W\\Setup\\Linked",
                                                  L"T\\W\\Setup\\Linked\\data.txt",
                                                  L"T\\neighbour.tmp"}));
  EXPECT_TRUE(fs.sleeps.empty());
}

TEST(TreeRemoval, APathThatIsALinkIsUnlinkedNotEmptied) {
  FakeTree fs;
  fs.Dir(L"Link", kAttributeDirectory | kAttributeReparsePoint);
  fs.File(L"Link\\target-file");
  RemoveTree(fs, L"Link", kLimits);
  EXPECT_TRUE(fs.listed.empty());
  EXPECT_TRUE(fs.Left().empty());
}

TEST(TreeRemoval, TheBudgetHoldsAcrossAClockWrap) {
  FakeTree fs(0xFFFFFF00u);
  Populate(fs);
  fs.Hold(L"T\\W\\Setup\\Data\\held.dat", kForever);
  RemoveTree(fs, L"T\\W", kLimits);
  EXPECT_EQ(fs.Left(), kHeldBranch);
  EXPECT_LE(fs.Elapsed(), kLimits.budgetMs);
  EXPECT_GT(fs.sleeps.size(), 10u);
}

TEST(TreeRemoval, RetryDecisions) {
  EXPECT_TRUE(IsWorthRetrying(kErrorSharingViolation, kFileAttributes, true));
  EXPECT_TRUE(IsWorthRetrying(kErrorSharingViolation, kFileAttributes | kAttributeReadOnly, true));
  EXPECT_TRUE(IsWorthRetrying(kErrorAccessDenied, kFileAttributes, true));
  EXPECT_TRUE(IsWorthRetrying(kErrorAccessDenied, 0, true));
  EXPECT_TRUE(IsWorthRetrying(kErrorAccessDenied, kNoAttributes, true));
  EXPECT_FALSE(IsWorthRetrying(kErrorAccessDenied, kFileAttributes | kAttributeReadOnly, true));
  EXPECT_FALSE(IsWorthRetrying(kErrorAccessDenied, kAttributeDirectory | kAttributeReadOnly, true));
  EXPECT_TRUE(IsWorthRetrying(kErrorDirNotEmpty, kAttributeDirectory, true));
  EXPECT_FALSE(IsWorthRetrying(kErrorDirNotEmpty, kAttributeDirectory, false));
  EXPECT_FALSE(IsWorthRetrying(kErrorFilenameTooLong, kFileAttributes, true));
  EXPECT_FALSE(IsWorthRetrying(kErrorNotADirectory, kFileAttributes, true));
}

}  // namespace
}  // namespace ot
