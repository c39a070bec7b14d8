// The Win32 side of core/folder_system: each operation is one system call on a handle. Entries
// are opened relative to their directory's handle with NtCreateFile (RootDirectory) and
// FILE_OPEN_REPARSE_POINT, listed with NtQueryDirectoryFile (FileIdBothDirectoryInformation),
// deleted with FileDispositionInformation and renamed with FileRenameInformation. Windows XP's
// ntdll exports all of them, so the launcher still loads there; they are used only on Vista and
// later, where the launcher runs.
#pragma once
#include <windows.h>

#include <string>

#include "core/folder_system.h"
#include "win32/unique_handle.h"

namespace ot {

class Win32FolderSystem final : public FolderSystem {
 public:
  Opened OpenDirectory(const std::wstring& path) override;
  Opened OpenEntry(OpenObject& dir, const std::wstring& name, bool directory,
                   std::uint32_t& error) override;
  bool ReadFacts(OpenObject& object, ObjectFacts& facts) override;
  bool List(OpenObject& dir, std::vector<ListedEntry>& entries) override;
  bool ReadSecurity(OpenObject& object, FolderSecurity& security) override;
  std::uint32_t Delete(OpenObject& object) override;
  std::uint32_t Rename(OpenObject& object, OpenObject& dir, const std::wstring& name) override;
  std::uint32_t TickMs() override;
  void Sleep(std::uint32_t ms) override;

  // Creates the directory name inside dir and opens it in the same step (it cannot be anything
  // but the new directory), held without delete sharing. descriptor null: the rights are
  // inherited from dir. Null with the system's error code (ERROR_ALREADY_EXISTS: something of
  // that name was there) when it cannot be made.
  Opened CreateDirectoryIn(OpenObject& dir, const std::wstring& name, PSECURITY_DESCRIPTOR descriptor,
                           DWORD& error);
};

}  // namespace ot
