// ot_plant_probe [--restrict] NAME...: loads each NAME with LoadLibraryW by its bare name, as a
// system DLL loads its helpers late, and prints "NAME<TAB>path it came from" (or "-" when it
// could not be loaded).
//
// With --restrict the DLL search is first cut down to System32 exactly as the launcher's
// entry routine does it; without, the default search order applies, which starts in the
// program's own folder. The planted-DLL test runs both ways to show that a planted DLL is
// found and run when nothing restricts the search, so that its absence from the launcher's
// run means something.
#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

bool RestrictDllSearch() {
  using SetDefaultDllDirectoriesProc = BOOL(WINAPI*)(DWORD);
  using SetDllDirectoryProc = BOOL(WINAPI*)(LPCWSTR);
  constexpr DWORD kLoadLibrarySearchSystem32 = 0x00000800;
  const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
  if (!kernel) return false;
  bool restricted = false;
  if (auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesProc>(
          reinterpret_cast<void*>(::GetProcAddress(kernel, "SetDefaultDllDirectories"))))
    restricted = setDefault(kLoadLibrarySearchSystem32) != FALSE;
  if (auto setDll = reinterpret_cast<SetDllDirectoryProc>(
          reinterpret_cast<void*>(::GetProcAddress(kernel, "SetDllDirectoryW"))))
    setDll(L"");
  return restricted;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  int first = 1;
  if (argc > 1 && std::wcscmp(argv[1], L"--restrict") == 0) {
    if (!RestrictDllSearch()) {
      std::fputs("SetDefaultDllDirectories is missing or failed\n", stderr);
      return 3;
    }
    first = 2;
  }
  if (first >= argc) {
    std::fputs("usage: ot_plant_probe [--restrict] NAME...\n", stderr);
    return 2;
  }
  for (int i = first; i < argc; ++i) {
    const HMODULE module = ::LoadLibraryW(argv[i]);
    wchar_t path[MAX_PATH] = L"-";
    if (module && ::GetModuleFileNameW(module, path, MAX_PATH) == 0) std::wcscpy(path, L"?");
    std::wprintf(L"%ls\t%ls\n", argv[i], path);
  }
  std::fflush(stdout);
  return 0;
}
