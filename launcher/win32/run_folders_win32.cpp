#include "win32/run_folders_win32.h"

#include <sddl.h>

#include <vector>

#include "win32/folder_system_win32.h"
#include "win32/registry_win32.h"
#include "win32/unique_handle.h"

namespace ot {
namespace {

UniqueKernelHandle OwnToken() {
  UniqueKernelHandle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) token.reset();
  return token;
}

// A variable-sized token record; empty when it cannot be read.
std::vector<BYTE> TokenRecord(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
  DWORD size = 0;
  ::GetTokenInformation(token, kind, nullptr, 0, &size);
  if (size == 0) return {};
  std::vector<BYTE> record(size);
  if (!::GetTokenInformation(token, kind, record.data(), size, &size)) return {};
  return record;
}

std::wstring UserSidText() {
  UniqueKernelHandle token = OwnToken();
  if (!token) return std::wstring();
  const std::vector<BYTE> user = TokenRecord(token.get(), TokenUser);
  LPWSTR text = nullptr;
  if (user.empty() || !::ConvertSidToStringSidW(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid, &text))
    return std::wstring();
  UniqueLocalMemory owned(text);
  return text;
}

// A directory path as CreateFileW opens it: without a trailing separator, except a drive's root.
std::wstring WithoutTrailingSeparator(std::wstring path) {
  while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  return path;
}

}  // namespace

TokenFacts ReadTokenFacts() {
  TokenFacts facts;
  UniqueKernelHandle token = OwnToken();
  if (!token) return facts;
  // TokenElevation exists from Vista on (an administrator's full token counts as elevated also
  // where UAC is off); on older systems the call fails, and those systems stop the launcher
  // before it makes a folder.
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  if (::GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size))
    facts.elevated = elevation.TokenIsElevated != 0;
  const std::vector<BYTE> user = TokenRecord(token.get(), TokenUser);
  if (!user.empty())
    facts.localSystem =
        ::IsWellKnownSid(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid, WinLocalSystemSid) != 0;
  return facts;
}

std::wstring TemporaryDirectory(DWORD& error) {
  using GetTempPathProc = DWORD(WINAPI*)(DWORD, LPWSTR);
  GetTempPathProc chosen = &::GetTempPathW;
  if (HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll"))
    if (auto newer = reinterpret_cast<GetTempPathProc>(
            reinterpret_cast<void*>(::GetProcAddress(kernel, "GetTempPath2W"))))
      chosen = newer;
  wchar_t buffer[MAX_PATH + 1] = {};
  const DWORD length = chosen(MAX_PATH, buffer);
  if (length == 0) {
    error = ::GetLastError();
    return std::wstring();
  }
  if (length >= MAX_PATH) {
    error = ERROR_BUFFER_OVERFLOW;
    return std::wstring();
  }
  error = ERROR_SUCCESS;
  return std::wstring(buffer, length);
}

WorkingFolder CreateWorkingFolder(const std::wstring& tempDir, const std::wstring& name,
                                  bool protectedRights) {
  WorkingFolder made;
  Win32FolderSystem fs;
  Opened temp = fs.OpenDirectory(WithoutTrailingSeparator(tempDir));
  if (!temp) {
    made.error = ::GetLastError();
    return made;
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (protectedRights && !::ConvertStringSecurityDescriptorToSecurityDescriptorW(
                             kProtectedFolderSddl, SDDL_REVISION_1, &descriptor, nullptr)) {
    made.error = ::GetLastError();
    return made;
  }
  UniqueLocalMemory owned(descriptor);
  made.hold = fs.CreateDirectoryIn(*temp, name, descriptor, made.error);
  if (made.hold && protectedRights) made.unprotected = !HasProtectedRights(fs, *made.hold);
  return made;
}

void SweepEarlierRunFolders(const std::wstring& tempDir, const std::wstring& ownName,
                            bool protectedRights) {
  Win32FolderSystem fs;
  Opened temp = fs.OpenDirectory(WithoutTrailingSeparator(tempDir));
  if (!temp) return;
  Win32GuidSource guids;
  const SweepRule rule{protectedRights, protectedRights ? std::wstring() : UserSidText()};
  SweepEarlierRuns(fs, *temp, ownName, guids, rule);
}

}  // namespace ot
