// A stand-in for a DLL that someone plants beside the launcher (in a Downloads folder) under
// the name of a system DLL. It does nothing but leave evidence: when a process maps it and
// runs its entry point, it appends that process's image path to "<its own path>.loaded".
// Tests copy it under many names and then look for such files.
//
// Only kernel32 is used, and nothing that takes the loader lock in another thread.
#include <windows.h>

namespace {

void RecordLoad(HINSTANCE self) {
  wchar_t marker[MAX_PATH + 8];
  const DWORD length = ::GetModuleFileNameW(self, marker, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  ::lstrcatW(marker, L".loaded");

  wchar_t image[MAX_PATH];
  DWORD imageLength = ::GetModuleFileNameW(nullptr, image, MAX_PATH);
  if (imageLength >= MAX_PATH) imageLength = 0;

  const HANDLE file = ::CreateFileW(marker, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  ::WriteFile(file, image, static_cast<DWORD>(imageLength * sizeof(wchar_t)), &written, nullptr);
  ::WriteFile(file, L"\r\n", static_cast<DWORD>(2 * sizeof(wchar_t)), &written, nullptr);
  ::CloseHandle(file);
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) RecordLoad(self);
  return TRUE;
}
