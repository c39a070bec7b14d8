// The per-run working folders under the temporary directory: who may write into a new one, and
// which folders of earlier runs a later run may remove.
//
// Rights. A launcher that runs elevated or as LocalSystem starts programs with those rights
// from its folder, and loads a library from it. If unelevated processes could write there (the
// user's own temporary directory, or C:\Windows\Temp, where users may create files in folders
// that others made), a planted DLL or a swapped OrvUnzip.dll would run with the launcher's
// rights. Such a run therefore creates its folder with a protected DACL (nothing inherited from
// the temporary directory) that grants full control to SYSTEM and Administrators only, passed
// to the creation itself so that the folder never exists with weaker rights; every file and
// folder below inherits it. An unelevated run keeps the ordinary inherited rights.
//
// Leftovers. A run that is killed, crashes or loses power leaves its folder behind, with the
// product's files decrypted. Every run holds its own folder open, without delete sharing, from
// its creation to the clean-up: that hold ends by itself with the process, whatever ends it,
// and leaves nothing on disk. At its clean-up a run removes the folders of earlier runs that
// are no longer held. Only directories directly in the same temporary directory are looked
// at, only those named like a run's folder, only those whose top level holds nothing but what a
// run writes there, never one reached through a link, and only those owned like the folders
// this run makes (a run with the protected rights touches only folders of runs that had them
// too, so that no unelevated process can steer its deletion). A folder is first claimed by
// renaming it: Windows refuses that while the folder is held or anything inside it is open, so
// a live run's folder, or one a still-running program uses, is left whole. The claimed folder
// keeps a run folder's name, so what cannot be deleted now is tried again by a later run.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace ot {

struct TreeEntry;  // core/tree_removal.h: a listed name and its attributes

// What the launcher's process token says about its rights.
struct TokenFacts {
  bool elevated = false;     // TokenElevation says so
  bool localSystem = false;  // the LocalSystem account
};

// Whether the working folder gets the protected rights below.
bool NeedsProtectedFolder(const TokenFacts& token);

// The protected folder's security descriptor: a protected DACL (P, nothing inherited), full
// access (FA) for SYSTEM (SY) and Administrators (BA), inherited by files (OI) and folders (CI).
constexpr wchar_t kProtectedFolderSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// A braced GUID as the launcher names its folders: 38 characters, upper-case hexadecimal digits
// in groups of 8, 4, 4, 4 and 12.
bool IsRunFolderName(std::wstring_view name);

// Whether a top-level entry of a working folder is one a run writes there: the files
// "OrvUnzip.dll" and "Distro.zip" and the directory "Setup", none of them a link.
bool IsRunFolderEntry(std::wstring_view name, std::uint32_t attributes);

// The file-system operations the sweep needs, and no more.
class RunFolderSystem {
 public:
  virtual ~RunFolderSystem() = default;
  // Calls visit for each entry of dir ("." and ".." included) with its attributes; nothing when
  // dir cannot be listed.
  virtual void ForEachEntry(const std::wstring& dir,
                            const std::function<void(const TreeEntry&)>& visit) = 0;
  // Whether dir is owned the way this run's own folders are.
  virtual bool OwnedLikeOurs(const std::wstring& dir) = 0;
  // Renames a directory; false when refused (held, something inside open, no access).
  virtual bool Rename(const std::wstring& from, const std::wstring& to) = 0;
  // A new braced GUID; false when none can be made.
  virtual bool NewGuidText(std::wstring& out) = 0;
  // Removes a tree as the clean-up removes its own folder, starting no new pass after budgetMs.
  virtual void RemoveTree(const std::wstring& path, std::uint32_t budgetMs) = 0;
  // A millisecond clock (it may wrap).
  virtual std::uint32_t TickMs() = 0;
};

// How long the sweep of earlier runs' folders may take in all.
constexpr std::uint32_t kSweepBudgetMs = 3000;

// Removes the folders of earlier runs in tempDir (see the head of this file), except ownName;
// nothing new is started once budgetMs has passed. Returns how many folders were claimed.
int SweepEarlierRuns(RunFolderSystem& fs, const std::wstring& tempDir, std::wstring_view ownName,
                     std::uint32_t budgetMs = kSweepBudgetMs);

}  // namespace ot
