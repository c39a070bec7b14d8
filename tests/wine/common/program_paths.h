// Paths the Windows test programs need: the folder of the running program (where the build
// puts OrvUnzip.dll beside it) and a name in the temporary folder.
#pragma once

#include <windows.h>

#include <string>

namespace ot::test {

inline std::wstring DirectoryOfThisProgram() {
  wchar_t path[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring text(path, length < MAX_PATH ? length : 0);
  const std::size_t slash = text.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring(L".") : text.substr(0, slash);
}

inline std::wstring TempPath(const wchar_t* name) {
  wchar_t temp[MAX_PATH + 1];
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
  return std::wstring(temp, length <= MAX_PATH ? length : 0) + name;
}

}  // namespace ot::test
