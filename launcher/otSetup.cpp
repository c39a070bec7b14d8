// The launcher's entry routine: one launcher per log-on session, then the main window and its
// message loop. Everything else happens in the window's events. The process ends with the
// run's exit code (core/exit_codes.h).
#include <windows.h>
#include <commctrl.h>

#include "MainUnit.h"
#include "core/exit_codes.h"
#include "core/product.h"
#include "os/window_station.h"
#include "win32/unique_handle.h"

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
  // Where no one can answer a message box, none is shown: the code alone reports.
  const bool interactive = orv::WindowStationIsVisible();

  ot::UniqueKernelHandle mutex(::CreateMutexW(nullptr, TRUE, ot::kLauncherMutexName));
  if (!mutex || ::GetLastError() == ERROR_ALREADY_EXISTS) {
    if (interactive) {
      ::MessageBoxW(nullptr, L"An instance of this application is already running.",
                    ot::kApplicationTitle, MB_ICONERROR | MB_OK);
    }
    return static_cast<int>(ot::kExitAlreadyRunning);
  }

  ::InitCommonControls();
  unsigned long exitCode = ot::kExitHandedOff;
  {
    ot::TMainForm MainForm(instance, interactive);
    if (MainForm.Create()) {
      MainForm.Show();
      MSG message;
      while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!::IsDialogMessageW(MainForm.Handle(), &message)) {
          ::TranslateMessage(&message);
          ::DispatchMessageW(&message);
        }
      }
      exitCode = MainForm.ExitCode();
    } else {
      if (interactive) {
        ::MessageBoxW(nullptr, L"The launcher's window layout is missing or damaged.",
                      ot::kApplicationTitle, MB_ICONERROR | MB_OK);
      }
      exitCode = ot::kExitLauncherDamaged;
    }
  }
  // The mutex goes last, after the clean-up: until then a second launcher is refused.
  mutex.reset();
  return static_cast<int>(exitCode);
}
