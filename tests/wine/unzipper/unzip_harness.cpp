// Test host for the unzipping library under Wine: loads the DLL by its full path, looks up
// "Unzip" by name and calls it, as the launcher does; and reports what Windows says about
// extracted files.
//
//   unzip_harness unzip DLL ARCHIVE DEST PASSWORD   prints "result=<n>" and, on a second line,
//                                                   "milliseconds=<n>" from loading the library
//                                                   to releasing it; "<null>" passes a null
//                                                   pointer for that argument
//   unzip_harness stat PATH...                      prints one line per path:
//                                                   "attributes=0x%08X local=YYYY-MM-DD hh:mm:ss"
// Exit status: 0 when the call was made (or every path could be inspected), 3 when the
// library or its export could not be loaded, 4 when a path could not be inspected, 2 for a
// wrong command line.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

using UnzipFunction = int(__stdcall*)(const wchar_t*, const wchar_t*, const char*);

const wchar_t* Argument(const wchar_t* text) { return std::wcscmp(text, L"<null>") == 0 ? nullptr : text; }

int RunUnzip(const wchar_t* dll, const wchar_t* archive, const wchar_t* destination, const wchar_t* password) {
  // The password goes to the library as 8-bit text in the ANSI code page.
  std::string narrow;
  const wchar_t* passwordArgument = Argument(password);
  if (passwordArgument != nullptr) {
    const int size = ::WideCharToMultiByte(CP_ACP, 0, passwordArgument, -1, nullptr, 0, nullptr, nullptr);
    narrow.resize(size > 0 ? static_cast<std::size_t>(size) : 1);
    ::WideCharToMultiByte(CP_ACP, 0, passwordArgument, -1, narrow.data(), size, nullptr, nullptr);
  }
  LARGE_INTEGER frequency{}, start{}, end{};
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&start);
  const HMODULE module = ::LoadLibraryW(dll);
  if (module == nullptr) {
    std::fprintf(stderr, "LoadLibraryW failed: %lu\n", ::GetLastError());
    return 3;
  }
  const auto unzip = reinterpret_cast<UnzipFunction>(reinterpret_cast<void*>(::GetProcAddress(module, "Unzip")));
  if (unzip == nullptr) {
    std::fprintf(stderr, "no export Unzip\n");
    ::FreeLibrary(module);
    return 3;
  }
  const int result = unzip(Argument(archive), Argument(destination), passwordArgument ? narrow.c_str() : nullptr);
  ::FreeLibrary(module);
  ::QueryPerformanceCounter(&end);
  std::printf("result=%d\n", result);
  std::printf("milliseconds=%.1f\n", 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
                                          static_cast<double>(frequency.QuadPart));
  std::fflush(stdout);
  return 0;
}

int Stat(int count, wchar_t** paths) {
  int status = 0;
  for (int i = 0; i < count; ++i) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    FILETIME local;
    SYSTEMTIME time;
    if (!::GetFileAttributesExW(paths[i], GetFileExInfoStandard, &data) ||
        !::FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) || !::FileTimeToSystemTime(&local, &time)) {
      std::printf("missing\n");
      status = 4;
      continue;
    }
    std::printf("attributes=0x%08lX local=%04u-%02u-%02u %02u:%02u:%02u\n", data.dwFileAttributes, time.wYear,
                time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond);
  }
  std::fflush(stdout);
  return status;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 6 && std::wcscmp(argv[1], L"unzip") == 0) return RunUnzip(argv[2], argv[3], argv[4], argv[5]);
  if (argc >= 3 && std::wcscmp(argv[1], L"stat") == 0) return Stat(argc - 2, argv + 2);
  std::fprintf(stderr, "usage: unzip_harness unzip DLL ARCHIVE DEST PASSWORD | stat PATH...\n");
  return 2;
}
