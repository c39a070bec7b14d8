// The library's one export. Everything it does happens inside UnzipArchive, which catches
// every C++ exception: none ever reaches the caller, who learns only -1 or 0.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <new>

#include "os/file_system.h"
#include "os/prompts_win32.h"
#include "unzip.h"

namespace __gnu_cxx {
// libstdc++'s release of its emergency exception buffer; no public header declares it.
void __freeres() noexcept;
}  // namespace __gnu_cxx

// Loading does nothing of ours. The static C++ runtime takes an emergency exception buffer
// (about 70 KB) from the process heap when the library starts and never gives it back, so each
// load and release by a host would leave one behind; it is released when FreeLibrary unloads
// the library. At process exit (reserved not null) nothing needs freeing.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr) __gnu_cxx::__freeres();
  return TRUE;
}

extern "C" std::int32_t __stdcall Unzip(const wchar_t* archivePath, const wchar_t* destination,
                                        const char* password) {
  try {
    const std::unique_ptr<orv::FileSystem> fileSystem = orv::CreatePlatformFileSystem();
    orv::Win32Prompts prompts;
    return orv::UnzipArchive(*fileSystem, prompts, archivePath, destination, password);
  } catch (...) {
    return orv::kUnzipFailed;
  }
}
