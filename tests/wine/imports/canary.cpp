// A program that Windows XP cannot load, on purpose: it imports GetTickCount64 and
// InitializeSRWLock (Vista), a function of dwmapi.dll (not a DLL the shipped binaries may use)
// and carries subsystem version 6.0. The import check must reject it for each of these.
#include <windows.h>
#include <dwmapi.h>

int main() {
  SRWLOCK lock;
  InitializeSRWLock(&lock);
  BOOL composited = FALSE;
  DwmIsCompositionEnabled(&composited);
  return static_cast<int>(GetTickCount64() & 1) + (composited ? 1 : 0);
}
