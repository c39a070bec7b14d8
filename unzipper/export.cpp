// The library's one export. Everything it does happens inside UnzipArchive, which catches
// every C++ exception: none ever reaches the caller, who learns only -1 or 0.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <new>

#include "os/file_system.h"
#include "os/prompts_win32.h"
#include "unzip.h"

// Loading does nothing of ours, so the library has no DllMain. What the static runtime keeps per
// load is given back by the entry point when FreeLibrary unloads the library
// (os/dll_entry_win32.cpp).

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
