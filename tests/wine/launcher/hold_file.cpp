// ot_hold_file: a program the launcher knows nothing of that keeps a file open, the way a virus
// scanner or an indexer may, so that the launcher's clean-up meets a file it cannot delete yet.
//
//   ot_hold_file FILE HOLD_MS [--after-gone WATCH]
//       Opens FILE (a file or a folder) for reading with read and write sharing but without
//       delete sharing, prints "held", keeps it open for HOLD_MS milliseconds, closes it,
//       prints "released" and exits 0 (2 when FILE cannot be opened). With --after-gone the
//       HOLD_MS count starts only once WATCH no longer exists (looked at every 10 ms, for at
//       most 120 s; "watch gone" is printed then), so the file stays held until just after
//       someone began deleting there.
//   ot_hold_file --try-delete FILE
//       One DeleteFileW: prints "deleted" and exits 0, or "failed ERROR" and exits 1.
#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

bool Exists(const wchar_t* path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

void Say(const char* text) {
  std::fputs(text, stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wcscmp(argv[1], L"--try-delete") == 0) {
    if (DeleteFileW(argv[2])) {
      Say("deleted");
      return 0;
    }
    std::printf("failed %lu\n", GetLastError());
    return 1;
  }
  const bool watch = argc == 5 && std::wcscmp(argv[3], L"--after-gone") == 0;
  if (argc != 3 && !watch) {
    std::fputs("usage: ot_hold_file FILE HOLD_MS [--after-gone WATCH] | --try-delete FILE\n", stderr);
    return 4;
  }
  const DWORD holdMs = static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10));
  HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::printf("cannot open: error %lu\n", GetLastError());
    return 2;
  }
  Say("held");
  if (watch) {
    const DWORD start = GetTickCount();
    while (Exists(argv[4]) && GetTickCount() - start < 120000) Sleep(10);
    Say("watch gone");
  }
  Sleep(holdMs);
  CloseHandle(file);
  Say("released");
  return 0;
}
