// ot_mutex_probe NAME [--wait SECONDS]: reports the state of a named mutex the way a waiting
// program sees it, through the exit code (and one word on stdout):
//   0 absent     no mutex of that name exists (with --wait: none appeared in time)
//   1 held       it exists and another thread owns it (with --wait: still owned at the end)
//   2 released   it could be acquired: free, or released by its owner while we waited
//   3 abandoned  its owner ended while owning it
//   4            bad usage
// Without --wait the state is looked at once; with it the probe waits up to SECONDS for the
// mutex to appear and then for its owner to let it go.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2 && !(argc == 4 && std::wcscmp(argv[2], L"--wait") == 0)) {
    std::fputs("usage: ot_mutex_probe NAME [--wait SECONDS]\n", stderr);
    return 4;
  }
  const DWORD waitMs = argc == 4 ? static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)) * 1000 : 0;
  const DWORD start = GetTickCount();
  HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, argv[1]);
  while (!mutex && GetTickCount() - start < waitMs) {
    Sleep(100);
    mutex = OpenMutexW(SYNCHRONIZE, FALSE, argv[1]);
  }
  if (!mutex) {
    std::puts("absent");
    return 0;
  }
  const DWORD elapsed = GetTickCount() - start;
  const DWORD result = WaitForSingleObject(mutex, waitMs > elapsed ? waitMs - elapsed : 0);
  int code = 1;
  if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
    code = result == WAIT_OBJECT_0 ? 2 : 3;
    ReleaseMutex(mutex);
  }
  CloseHandle(mutex);
  std::puts(code == 1 ? "held" : code == 2 ? "released" : "abandoned");
  return code;
}
