#include "core/run_folders.h"

#include <vector>

#include "core/path_text.h"
#include "core/tree_removal.h"

namespace ot {
namespace {

bool IsUpperHex(wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F'); }

wchar_t AsciiLower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c; }

bool EqualNoCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}

bool IsDotEntry(std::wstring_view name) { return name == L"." || name == L".."; }

// Whether every top-level entry of dir is one a run writes (an empty folder qualifies: a run
// may die right after making it).
bool HoldsOnlyRunEntries(RunFolderSystem& fs, const std::wstring& dir) {
  bool only = true;
  fs.ForEachEntry(dir, [&](const TreeEntry& entry) {
    if (!IsDotEntry(entry.name) && !IsRunFolderEntry(entry.name, entry.attributes)) only = false;
  });
  return only;
}

}  // namespace

bool NeedsProtectedFolder(const TokenFacts& token) { return token.elevated || token.localSystem; }

bool IsRunFolderName(std::wstring_view name) {
  if (name.size() != 38 || name.front() != L'{' || name.back() != L'}') return false;
  for (std::size_t i = 1; i < 37; ++i) {
    const bool hyphen = i == 9 || i == 14 || i == 19 || i == 24;
    if (hyphen ? name[i] != L'-' : !IsUpperHex(name[i])) return false;
  }
  return true;
}

bool IsRunFolderEntry(std::wstring_view name, std::uint32_t attributes) {
  if (attributes & kAttributeReparsePoint) return false;
  const bool directory = (attributes & kAttributeDirectory) != 0;
  if (EqualNoCase(name, L"Setup")) return directory;
  return !directory && (EqualNoCase(name, L"OrvUnzip.dll") || EqualNoCase(name, L"Distro.zip"));
}

int SweepEarlierRuns(RunFolderSystem& fs, const std::wstring& tempDir, std::wstring_view ownName,
                     std::uint32_t budgetMs) {
  const std::uint32_t start = fs.TickMs();
  const auto elapsed = [&] { return static_cast<std::uint32_t>(fs.TickMs() - start); };

  // The candidates are collected first: renaming inside a folder while it is being listed may
  // make the listing show an entry twice or skip one.
  std::vector<std::wstring> candidates;
  fs.ForEachEntry(tempDir, [&](const TreeEntry& entry) {
    if ((entry.attributes & kAttributeDirectory) && !(entry.attributes & kAttributeReparsePoint) &&
        IsRunFolderName(entry.name) && !EqualNoCase(entry.name, ownName))
      candidates.emplace_back(entry.name);
  });

  int claimed = 0;
  for (const std::wstring& name : candidates) {
    if (elapsed() >= budgetMs) break;
    const std::wstring path = JoinPath(tempDir, name);
    if (!HoldsOnlyRunEntries(fs, path) || !fs.OwnedLikeOurs(path)) continue;
    std::wstring newName;
    if (!fs.NewGuidText(newName) || !IsRunFolderName(newName)) break;
    const std::wstring claimedPath = JoinPath(tempDir, newName);
    if (!fs.Rename(path, claimedPath)) continue;
    ++claimed;
    // Between the look and the claim something may have been put into it: then it is no
    // longer only a run's folder, and it stays as it is.
    if (!HoldsOnlyRunEntries(fs, claimedPath)) continue;
    const std::uint32_t used = elapsed();
    fs.RemoveTree(claimedPath, used < budgetMs ? budgetMs - used : 0);
  }
  return claimed;
}

}  // namespace ot
