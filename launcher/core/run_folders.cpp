#include "core/run_folders.h"

#include "core/tree_removal.h"

namespace ot {
namespace {

constexpr std::uint8_t kAccessAllowedAce = 0;
constexpr std::uint8_t kObjectAndContainerInherit = 0x1 | 0x2;
constexpr std::uint32_t kFileAllAccess = 0x1F01FF;

// The pause between removal passes of a swept folder.
constexpr std::uint32_t kSweepPauseMs = 100;

bool IsUpperHex(wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F'); }

}  // namespace

bool NeedsProtectedFolder(const TokenFacts& token) { return token.elevated || token.localSystem; }

bool IsProtectedFolderSecurity(const FolderSecurity& security) {
  const std::vector<AceFacts> protectedDacl = {
      {kAccessAllowedAce, kObjectAndContainerInherit, kFileAllAccess, kSystemSid},
      {kAccessAllowedAce, kObjectAndContainerInherit, kFileAllAccess, kAdministratorsSid}};
  return (security.owner == kSystemSid || security.owner == kAdministratorsSid) &&
         security.hasDacl && security.daclProtected && security.aces == protectedDacl;
}

bool HasProtectedRights(FolderSystem& fs, OpenObject& folder) {
  ObjectFacts facts;
  FolderSecurity security;
  return fs.ReadFacts(folder, facts) && (facts.attributes & kAttributeDirectory) &&
         !(facts.attributes & kAttributeReparsePoint) && fs.ReadSecurity(folder, security) &&
         IsProtectedFolderSecurity(security);
}

bool IsRunFolderName(std::wstring_view name) {
  if (name.size() != 38 || name.front() != L'{' || name.back() != L'}') return false;
  for (std::size_t i = 1; i < 37; ++i) {
    const bool hyphen = i == 9 || i == 14 || i == 19 || i == 24;
    if (hyphen ? name[i] != L'-' : !IsUpperHex(name[i])) return false;
  }
  return true;
}

bool IsLeftByDeadRun(const std::vector<ListedEntry>& entries) {
  bool library = false, archive = false, setup = false;
  for (const ListedEntry& entry : entries) {
    if (IsDotEntry(entry.name)) continue;
    if (entry.attributes & kAttributeReparsePoint) return false;
    const bool directory = (entry.attributes & kAttributeDirectory) != 0;
    bool* seen = nullptr;
    if (SameName(entry.name, L"OrvUnzip.dll") && !directory) seen = &library;
    else if (SameName(entry.name, L"Distro.zip") && !directory) seen = &archive;
    else if (SameName(entry.name, L"Setup") && directory) seen = &setup;
    if (!seen || *seen) return false;
    *seen = true;
  }
  // A run writes the library, then the archive, then makes Setup.
  return library && (archive || !setup);
}

bool IsOwnedLikeOurs(const SweepRule& rule, const FolderSecurity& security) {
  if (rule.protectedRights) return IsProtectedFolderSecurity(security);
  return !rule.userSid.empty() && security.owner == rule.userSid;
}

int SweepEarlierRuns(FolderSystem& fs, OpenObject& tempDir, std::wstring_view ownName,
                     GuidSource& guids, const SweepRule& rule, std::uint32_t budgetMs) {
  const std::uint32_t start = fs.TickMs();
  const auto elapsed = [&] { return static_cast<std::uint32_t>(fs.TickMs() - start); };
  const auto timeLeft = [&] { return elapsed() < budgetMs; };

  ObjectFacts tempFacts;
  std::vector<ListedEntry> listing;
  if (!fs.ReadFacts(tempDir, tempFacts) || !timeLeft() || !fs.List(tempDir, listing)) return 0;

  int claimed = 0;
  for (const ListedEntry& candidate : listing) {
    if (!(candidate.attributes & kAttributeDirectory) || (candidate.attributes & kAttributeReparsePoint) ||
        !IsRunFolderName(candidate.name) || SameName(candidate.name, ownName))
      continue;
    if (!timeLeft()) break;
    // Held without delete sharing from here on: a live run's hold refuses this open, and once it
    // has succeeded nobody can rename or replace the folder until it is closed.
    std::uint32_t error = kRemovalOk;
    Opened folder = fs.OpenEntry(tempDir, candidate.name, true, error);
    if (!folder) continue;
    ObjectFacts facts;
    FolderSecurity security;
    if (!timeLeft()) break;
    if (!fs.ReadFacts(*folder, facts) || !IsListedObject(candidate, facts, tempFacts.volumeSerial) ||
        !fs.ReadSecurity(*folder, security) || !IsOwnedLikeOurs(rule, security))
      continue;
    std::vector<ListedEntry> entries;
    if (!timeLeft() || !fs.List(*folder, entries) || !IsLeftByDeadRun(entries)) continue;
    std::wstring newName;
    if (!guids.NewGuidText(newName) || !IsRunFolderName(newName)) break;
    if (!timeLeft() || fs.Rename(*folder, tempDir, newName) != kRemovalOk) continue;
    ++claimed;
    // Between the look and the claim something may have been put into it: then it is no longer
    // only a run's folder, and it stays as it is.
    entries.clear();
    if (!timeLeft() || !fs.List(*folder, entries) || !IsLeftByDeadRun(entries)) continue;
    const std::uint32_t used = elapsed();
    if (used >= budgetMs) break;
    RemoveHeldTree(fs, *folder, facts, RemovalLimits{budgetMs - used, kSweepPauseMs, true});
  }
  return claimed;
}

}  // namespace ot
