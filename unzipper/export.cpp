// The library's one export. Everything it does happens inside UnzipArchive, which catches
// every C++ exception: none ever reaches the caller, who learns only -1 or 0. Where nobody can see
// the library's prompts, a question it had to answer itself makes the result 0.
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
    const std::int32_t result =
        orv::UnzipArchive(*fileSystem, prompts, archivePath, destination, password);
    // A user who answers Abort or Cancel has seen the question and chosen to go on; where nobody
    // could see it, the answer was the library's, and an archive that did not unpack whole is a
    // failure the host must hear of, not the end of a run it takes for complete.
    return prompts.AnsweredUnseen() ? orv::kUnzipFailed : result;
  } catch (...) {
    return orv::kUnzipFailed;
  }
}
