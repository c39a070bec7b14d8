// The launcher's entry routine: one launcher per log-on session, then the main window and its
// message loop. Everything else happens in the window's events.
#include <windows.h>
#include <commctrl.h>

#include "MainUnit.h"
#include "core/product.h"

namespace {

// Planted DLLs beside the launcher (a Downloads folder) must never be loaded: from here on only
// System32 is searched. The call does not exist on Windows XP or an unpatched Vista, so it is
// looked up; removing the current directory from the search covers those.
void RestrictDllSearch() {
  using SetDefaultDllDirectoriesProc = BOOL(WINAPI*)(DWORD);
  using SetDllDirectoryProc = BOOL(WINAPI*)(LPCWSTR);
  constexpr DWORD kLoadLibrarySearchSystem32 = 0x00000800;
  HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
  if (!kernel) return;
  if (auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesProc>(
          reinterpret_cast<void*>(::GetProcAddress(kernel, "SetDefaultDllDirectories"))))
    setDefault(kLoadLibrarySearchSystem32);
  if (auto setDll = reinterpret_cast<SetDllDirectoryProc>(
          reinterpret_cast<void*>(::GetProcAddress(kernel, "SetDllDirectoryW"))))
    setDll(L"");
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  RestrictDllSearch();

  HANDLE mutex = ::CreateMutexW(nullptr, TRUE, ot::kLauncherMutexName);
  if (mutex == nullptr || ::GetLastError() == ERROR_ALREADY_EXISTS) {
    ::MessageBoxW(nullptr, L"An instance of this application is already running.",
                  ot::kApplicationTitle, MB_ICONERROR | MB_OK);
    if (mutex) ::CloseHandle(mutex);
    return 0;
  }

  ::InitCommonControls();
  {
    ot::TMainForm MainForm(instance);
    if (MainForm.Create()) {
      MainForm.Show();
      MSG message;
      while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!::IsDialogMessageW(MainForm.Handle(), &message)) {
          ::TranslateMessage(&message);
          ::DispatchMessageW(&message);
        }
      }
    } else {
      ::MessageBoxW(nullptr, L"The launcher's window layout is missing or damaged.",
                    ot::kApplicationTitle, MB_ICONERROR | MB_OK);
    }
  }
  ::CloseHandle(mutex);
  return 0;
}
