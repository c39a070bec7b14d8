#include "win32/run_folders_win32.h"

#include <aclapi.h>
#include <sddl.h>

#include <vector>

#include "core/path_text.h"
#include "win32/delete_directory.h"
#include "win32/registry_win32.h"

namespace ot {
namespace {

struct LocalMemoryTraits {  // what the security functions allocate with LocalAlloc
  using Type = HLOCAL;
  static Type Invalid() { return nullptr; }
  static void Close(Type h) { ::LocalFree(h); }
};
using UniqueLocalMemory = UniqueHandle<LocalMemoryTraits>;

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

std::wstring SidText(PSID sid) {
  LPWSTR text = nullptr;
  if (!::ConvertSidToStringSidW(sid, &text)) return std::wstring();
  UniqueLocalMemory owned(text);
  return text;
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

DWORD CreateWorkingFolder(const std::wstring& path, bool protectedRights) {
  if (!protectedRights) return ::CreateDirectoryW(path.c_str(), nullptr) ? ERROR_SUCCESS : ::GetLastError();
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kProtectedFolderSddl, SDDL_REVISION_1,
                                                              &descriptor, nullptr))
    return ::GetLastError();
  UniqueLocalMemory owned(descriptor);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  return ::CreateDirectoryW(path.c_str(), &attributes) ? ERROR_SUCCESS : ::GetLastError();
}

UniqueFileHandle HoldFolder(const std::wstring& path) {
  return UniqueFileHandle(::CreateFileW(path.c_str(), FILE_LIST_DIRECTORY,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

Win32RunFolderSystem::Win32RunFolderSystem(bool protectedRights) : protected_(protectedRights) {
  if (UniqueKernelHandle token = OwnToken()) {
    const std::vector<BYTE> user = TokenRecord(token.get(), TokenUser);
    if (!user.empty()) userSid_ = SidText(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid);
  }
}

void Win32RunFolderSystem::ForEachEntry(const std::wstring& dir,
                                        const std::function<void(const TreeEntry&)>& visit) {
  ForEachDirectoryEntry(dir, visit);
}

bool Win32RunFolderSystem::OwnedLikeOurs(const std::wstring& dir) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetNamedSecurityInfoW(dir.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                              nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
    return false;
  UniqueLocalMemory owned(descriptor);
  if (!owner) return false;
  if (protected_)
    return ::IsWellKnownSid(owner, WinLocalSystemSid) || ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid);
  return !userSid_.empty() && SidText(owner) == userSid_;
}

bool Win32RunFolderSystem::Rename(const std::wstring& from, const std::wstring& to) {
  return ::MoveFileExW(from.c_str(), to.c_str(), 0) != FALSE;
}

bool Win32RunFolderSystem::NewGuidText(std::wstring& out) {
  Win32GuidSource guids;
  return guids.NewGuidText(out);
}

void Win32RunFolderSystem::RemoveTree(const std::wstring& path, std::uint32_t budgetMs) {
  DeleteDirectory(path, budgetMs);
}

std::uint32_t Win32RunFolderSystem::TickMs() { return ::GetTickCount(); }

}  // namespace ot
