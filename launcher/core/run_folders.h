// The per-run working folders under the temporary directory: who may write into a new one, and
// which folders of earlier runs a later run may remove.
//
// Who may act while the launcher runs: other processes of the same user; other users of a shared
// machine (in C:\Windows\Temp every user may create folders and links); and, when the launcher
// runs elevated or as LocalSystem, every unelevated process. What the launcher promises: it
// deletes nothing but the folder it made and folders it swept, never through a link, junction,
// mount point or an object swapped in during the walk (core/tree_removal); and it loads and
// starts only files it wrote into a folder that, when elevated, nobody unelevated could change.
//
// Rights. A launcher that runs elevated or as LocalSystem starts programs with those rights
// from its folder, and loads a library from it. If unelevated processes could write there (the
// user's own temporary directory, or C:\Windows\Temp), a planted DLL or a swapped OrvUnzip.dll
// would run with the launcher's rights. Such a run therefore creates its folder and opens it in
// one step, with a descriptor that makes Administrators the owner and sets a protected DACL
// (nothing inherited from the temporary directory) granting full control to SYSTEM and
// Administrators only; every file and folder below inherits it. Before anything is written, the
// held handle must show a directory, no link, owned by SYSTEM or Administrators, with exactly
// that DACL: a volume that keeps no rights (FAT, exFAT) fails this, and the run stops rather
// than unpack unprotected. An unelevated run keeps the ordinary inherited rights.
//
// Leftovers. A run that is killed, crashes or loses power leaves its folder behind, with the
// product's files decrypted. Every run holds its own folder open, without delete sharing, from
// its creation until it has removed it through that handle at its clean-up: the hold ends by
// itself with the process, whatever ends it. At its clean-up a run then removes the folders of
// earlier runs that are no longer held. Only directories directly in the same temporary
// directory are looked at, only those named like a run's folder, each opened once relative to
// the temporary directory's handle, without delete sharing, and only when that object is the one
// the listing named. It must be owned like the folders this run makes (SYSTEM or Administrators
// with exactly the protected DACL for a run with the protected rights, so that nobody unelevated
// can have put anything inside; this run's own user otherwise), and hold exactly what a dead run
// leaves: OrvUnzip.dll, then Distro.zip, then Setup, each written only after the one before. The
// folder is claimed by renaming it through its handle (Windows refuses that while anything
// inside it is open, so a folder a still-running program uses stays whole), then removed
// through the same handle. The claimed folder keeps a run folder's name, so what cannot be
// deleted now is tried again by a later run. The whole sweep starts nothing after a few seconds.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/folder_system.h"
#include "core/guid_source.h"

namespace ot {

// What the launcher's process token says about its rights.
struct TokenFacts {
  bool elevated = false;     // TokenElevation says so
  bool localSystem = false;  // the LocalSystem account
};

// Whether the working folder gets the protected rights below.
bool NeedsProtectedFolder(const TokenFacts& token);

// The protected folder's security descriptor as it is created: owner Administrators (BA), a
// protected DACL (P, nothing inherited), full access (FA) for SYSTEM (SY) and Administrators,
// inherited by files (OI) and folders (CI).
constexpr wchar_t kProtectedFolderSddl[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr wchar_t kSystemSid[] = L"S-1-5-18";
constexpr wchar_t kAdministratorsSid[] = L"S-1-5-32-544";

// Whether the owner is SYSTEM or Administrators and the DACL is exactly the protected one.
bool IsProtectedFolderSecurity(const FolderSecurity& security);

// Whether the folder held by folder really has the protected rights: a directory, no link, and
// IsProtectedFolderSecurity of what its handle reports.
bool HasProtectedRights(FolderSystem& fs, OpenObject& folder);

// A braced GUID as the launcher names its folders: 38 characters, upper-case hexadecimal digits
// in groups of 8, 4, 4, 4 and 12.
bool IsRunFolderName(std::wstring_view name);

// Whether a folder's listing is exactly what a dead run leaves: {OrvUnzip.dll},
// {OrvUnzip.dll, Distro.zip} or {OrvUnzip.dll, Distro.zip, Setup}, the first two files and
// Setup a directory, none of them a link. An empty folder, or Setup alone, is not.
bool IsLeftByDeadRun(const std::vector<ListedEntry>& entries);

// Whose folders a sweep may take.
struct SweepRule {
  bool protectedRights = false;  // this run's folder has the protected rights
  std::wstring userSid;          // this run's user, for a run without them
};

// Whether a folder with this owner and DACL is owned like the folders this run makes.
bool IsOwnedLikeOurs(const SweepRule& rule, const FolderSecurity& security);

// How long the sweep of earlier runs' folders may take in all.
constexpr std::uint32_t kSweepBudgetMs = 3000;

// Removes the folders of earlier runs in the temporary directory held by tempDir (see the head
// of this file), except ownName; no listing, check, rename or delete starts once budgetMs has
// passed. Returns how many folders were claimed.
int SweepEarlierRuns(FolderSystem& fs, OpenObject& tempDir, std::wstring_view ownName,
                     GuidSource& guids, const SweepRule& rule,
                     std::uint32_t budgetMs = kSweepBudgetMs);

}  // namespace ot
