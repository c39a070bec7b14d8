// The Win32 side of the working folders (core/run_folders): the process token, the temporary
// directory, the folder's creation with its rights and the hold that marks a run as live, and
// the sweep of earlier runs' folders.
#pragma once
#include <windows.h>

#include <string>

#include "core/run_folders.h"

namespace ot {

// Reads the launcher's own process token; what cannot be read counts as false.
TokenFacts ReadTokenFacts();

// The temporary directory with its trailing backslash, from GetTempPath2W where Windows has it
// (for LocalSystem it names a directory only administrators may write) and GetTempPathW
// elsewhere. Empty on failure, with the reason in error (ERROR_BUFFER_OVERFLOW: longer than
// MAX_PATH).
std::wstring TemporaryDirectory(DWORD& error);

// What CreateWorkingFolder made.
struct WorkingFolder {
  Opened hold;                  // the new folder, held; null when none was made
  DWORD error = ERROR_SUCCESS;  // why none was made (ERROR_ALREADY_EXISTS: the name was taken)
  bool unprotected = false;     // made, but its handle does not show the protected rights
};

// Creates the folder name in tempDir and opens it in the same step, held without delete sharing:
// while the hold lasts nobody can rename, remove or replace it, other runs' sweeps leave it
// alone, and the hold goes with the process, however the process ends. With protectedRights it
// is created with the protected descriptor and then checked on the held handle
// (HasProtectedRights) before anything is written into it.
WorkingFolder CreateWorkingFolder(const std::wstring& tempDir, const std::wstring& name,
                                  bool protectedRights);

// Removes what killed runs left in tempDir, except the folder ownName (core/run_folders). A run
// with the protected rights takes only folders that have them too; any other run only folders
// owned by its own user.
void SweepEarlierRunFolders(const std::wstring& tempDir, const std::wstring& ownName,
                            bool protectedRights);

}  // namespace ot
