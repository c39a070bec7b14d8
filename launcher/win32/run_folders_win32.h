// The Win32 side of the working folders (core/run_folders): the process token, the temporary
// directory, the folder's creation with its rights, the hold that marks a run as live, and the
// sweep's file-system operations.
#pragma once
#include <windows.h>

#include <string>

#include "core/run_folders.h"
#include "win32/unique_handle.h"

namespace ot {

// Reads the launcher's own process token; what cannot be read counts as false.
TokenFacts ReadTokenFacts();

// The temporary directory with its trailing backslash, from GetTempPath2W where Windows has it
// (for LocalSystem it names a directory only administrators may write) and GetTempPathW
// elsewhere. Empty on failure, with the reason in error (ERROR_BUFFER_OVERFLOW: longer than
// MAX_PATH).
std::wstring TemporaryDirectory(DWORD& error);

// Creates the last level of path, with the protected rights when asked for. ERROR_SUCCESS, or
// the reason it was not made (ERROR_ALREADY_EXISTS: the folder was there before).
DWORD CreateWorkingFolder(const std::wstring& path, bool protectedRights);

// Opens the folder itself without delete sharing: while the handle is open, nobody can rename
// or remove it, and the handle goes with the process, however the process ends.
UniqueFileHandle HoldFolder(const std::wstring& path);

// The sweep's operations. Folders count as owned like ours when their owner is SYSTEM or the
// Administrators group (for a run with the protected rights) or this run's own user (for any
// other run).
class Win32RunFolderSystem final : public RunFolderSystem {
 public:
  explicit Win32RunFolderSystem(bool protectedRights);
  void ForEachEntry(const std::wstring& dir,
                    const std::function<void(const TreeEntry&)>& visit) override;
  bool OwnedLikeOurs(const std::wstring& dir) override;
  bool Rename(const std::wstring& from, const std::wstring& to) override;
  bool NewGuidText(std::wstring& out) override;
  void RemoveTree(const std::wstring& path, std::uint32_t budgetMs) override;
  std::uint32_t TickMs() override;

 private:
  bool protected_;
  std::wstring userSid_;  // text form of the token's user, for unprotected runs
};

}  // namespace ot
