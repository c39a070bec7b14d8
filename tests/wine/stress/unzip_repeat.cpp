// Repeated use of the unzipping library in one process, as a long-lived host would do it:
// every call loads OrvUnzip.dll (beside this program) by its full path, looks up "Unzip",
// unpacks and releases the library again. After a warm-up the process's handle count, private
// memory and TLS indexes in use must stay where they were, within a small tolerance: a handle,
// a block of memory or a TLS index left behind per call adds up over the calls and shows (a
// process has only about a thousand TLS indexes).
//
//   unzip_repeat ARCHIVE [--calls N] [--warm-up N] [--inject-leaks] [--library NAME]
//
// Three of every four calls unpack ARCHIVE (the distribution archive, with its password) and
// must return non-zero; every fourth is given a truncated copy of it, which the library
// cannot open and must refuse with 0 without showing anything. --inject-leaks makes the
// program itself leak one event handle, 64 KiB of touched heap and one TLS index per call: the
// check must then report all three, which shows that it can fail. Exit status: 0 pass (with
// --inject-leaks: all three leaks were seen), 1 fail, 2 usage, 3 the library or a measurement
// was unavailable.
// --library loads NAME (beside this program) instead of OrvUnzip.dll.
//
// Under an emulated processor (tests/wine/wine32 on qemu-i386 sets OT_WINE32_EMULATED=1) Wine
// itself keeps memory per load of any DLL, in proportion to its image: a plain C library with
// no runtime at all grows the process by about 65 KB per load there and by nothing natively.
// There the memory figure is printed but not judged; handles and TLS indexes still are.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "../common/program_paths.h"
#include "archive_password.h"

namespace {

using ot::test::DirectoryOfThisProgram;
using ot::test::TempPath;

using UnzipProc = int(WINAPI*)(const wchar_t*, const wchar_t*, const char*);

constexpr DWORD kHandleTolerance = 4;
constexpr SIZE_T kMemoryTolerance = 1024 * 1024;
constexpr SIZE_T kInjectedBlock = 64 * 1024;
constexpr DWORD kTlsIndexTolerance = 4;

struct Usage {
  DWORD handles = 0;
  SIZE_T privateBytes = 0;
  DWORD firstFreeTlsIndex = 0;  // TlsAlloc gives the lowest free index
};

// PROCESS_MEMORY_COUNTERS_EX, spelled out so that no psapi header or import is needed.
struct MemoryCounters {
  DWORD cb;
  DWORD PageFaultCount;
  SIZE_T PeakWorkingSetSize;
  SIZE_T WorkingSetSize;
  SIZE_T QuotaPeakPagedPoolUsage;
  SIZE_T QuotaPagedPoolUsage;
  SIZE_T QuotaPeakNonPagedPoolUsage;
  SIZE_T QuotaNonPagedPoolUsage;
  SIZE_T PagefileUsage;
  SIZE_T PeakPagefileUsage;
  SIZE_T PrivateUsage;
};

using GetProcessHandleCountProc = BOOL(WINAPI*)(HANDLE, PDWORD);
using GetProcessMemoryInfoProc = BOOL(WINAPI*)(HANDLE, MemoryCounters*, DWORD);
using NtQuerySystemInformationProc = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

// SYSTEM_HANDLE_INFORMATION_EX (class 64) as ntdll fills it: every open handle of the system.
constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);
struct HandleEntry {
  PVOID Object;
  ULONG_PTR UniqueProcessId;
  ULONG_PTR HandleValue;
  ULONG GrantedAccess;
  USHORT CreatorBackTraceIndex;
  USHORT ObjectTypeIndex;
  ULONG HandleAttributes;
  ULONG Reserved;
};
struct HandleTable {
  ULONG_PTR NumberOfHandles;
  ULONG_PTR Reserved;
  HandleEntry Handles[1];
};

// Everything is looked up at run time: GetProcessHandleCount is missing from early XP, and the
// memory call lives in kernel32 (as K32GetProcessMemoryInfo) only from Windows 7 on. Wine
// answers GetProcessHandleCount with 0, which no live process has; the handles are then
// counted in the system's handle table instead. Wine reports no PrivateUsage either; the
// page-file usage (committed private memory) stands in for it.
class Meter {
 public:
  bool Open() {
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    handleCount_ = reinterpret_cast<GetProcessHandleCountProc>(
        reinterpret_cast<void*>(::GetProcAddress(kernel, "GetProcessHandleCount")));
    querySystem_ = reinterpret_cast<NtQuerySystemInformationProc>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    memoryInfo_ = reinterpret_cast<GetProcessMemoryInfoProc>(
        reinterpret_cast<void*>(::GetProcAddress(kernel, "K32GetProcessMemoryInfo")));
    if (!memoryInfo_) {
      if (const HMODULE psapi = ::LoadLibraryW(L"psapi.dll"))
        memoryInfo_ = reinterpret_cast<GetProcessMemoryInfoProc>(
            reinterpret_cast<void*>(::GetProcAddress(psapi, "GetProcessMemoryInfo")));
    }
    return (handleCount_ || querySystem_) && memoryInfo_;
  }

  bool Read(Usage& usage) {
    MemoryCounters counters{};
    counters.cb = sizeof(counters);
    if (!memoryInfo_(::GetCurrentProcess(), &counters, sizeof(counters))) return false;
    usage.privateBytes = counters.PrivateUsage ? counters.PrivateUsage : counters.PagefileUsage;
    usage.firstFreeTlsIndex = ::TlsAlloc();
    if (usage.firstFreeTlsIndex == TLS_OUT_OF_INDEXES) return false;
    ::TlsFree(usage.firstFreeTlsIndex);
    usage.handles = 0;
    if (handleCount_ && !handleCount_(::GetCurrentProcess(), &usage.handles)) return false;
    return usage.handles != 0 || CountOwnHandles(usage.handles);
  }

 private:
  bool CountOwnHandles(DWORD& count) {
    if (!querySystem_) return false;
    ULONG needed = 0;
    LONG status;
    while ((status = querySystem_(kSystemExtendedHandleInformation, table_.data(),
                                  static_cast<ULONG>(table_.size()), &needed)) ==
           kStatusInfoLengthMismatch) {
      if (table_.size() >= (std::size_t{64} << 20)) return false;
      table_.resize(table_.size() * 2);
    }
    if (status < 0) return false;
    const auto* table = reinterpret_cast<const HandleTable*>(table_.data());
    const ULONG_PTR self = ::GetCurrentProcessId();
    count = 0;
    for (ULONG_PTR i = 0; i < table->NumberOfHandles; ++i)
      if (table->Handles[i].UniqueProcessId == self) ++count;
    return true;
  }

  GetProcessHandleCountProc handleCount_ = nullptr;
  NtQuerySystemInformationProc querySystem_ = nullptr;
  GetProcessMemoryInfoProc memoryInfo_ = nullptr;
  // Reused, and grown before the warm-up ends, so that the count itself adds no memory later.
  std::vector<ULONG_PTR> table_ = std::vector<ULONG_PTR>(1 << 14);
};

// The first half of the archive: its central directory is gone, so it cannot be opened.
bool WriteTruncatedCopy(const std::wstring& archive, const std::wstring& copy) {
  const HANDLE in = ::CreateFileW(archive.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  if (in == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size{};
  std::vector<char> bytes;
  DWORD read = 0;
  bool ok = ::GetFileSizeEx(in, &size) && size.QuadPart > 64 && size.QuadPart < (1 << 30);
  if (ok) {
    bytes.resize(static_cast<std::size_t>(size.QuadPart / 2));
    ok = ::ReadFile(in, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) &&
         read == bytes.size();
  }
  ::CloseHandle(in);
  if (!ok) return false;
  const HANDLE out = ::CreateFileW(copy.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  ok = ::WriteFile(out, bytes.data(), read, &written, nullptr) && written == read;
  ::CloseHandle(out);
  return ok;
}

// One host call: load, look up, call, release. Returns false when the library or its export
// could not be had.
bool CallUnzip(const std::wstring& dll, const std::wstring& archive, const std::wstring& dest,
               int& result) {
  const HMODULE library = ::LoadLibraryW(dll.c_str());
  if (!library) return false;
  const auto unzip = reinterpret_cast<UnzipProc>(
      reinterpret_cast<void*>(::GetProcAddress(library, "Unzip")));
  if (unzip) result = unzip(archive.c_str(), dest.c_str(), ot::kArchivePassword);
  ::FreeLibrary(library);
  return unzip != nullptr;
}

bool ParseCount(const wchar_t* text, int& value) {
  wchar_t* end = nullptr;
  const long parsed = std::wcstol(text, &end, 10);
  if (end == text || *end != L'\0' || parsed < 1 || parsed > 100000) return false;
  value = static_cast<int>(parsed);
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fputs("usage: unzip_repeat ARCHIVE [--calls N] [--warm-up N] [--inject-leaks] [--library NAME]\n",
               stderr);
    return 2;
  }
  std::wstring archive = argv[1];
  for (wchar_t& c : archive)
    if (c == L'/') c = L'\\';
  int calls = 200;
  int warmUp = 20;
  bool injectLeaks = false;
  std::wstring libraryName = L"OrvUnzip.dll";
  for (int i = 2; i < argc; ++i) {
    if (std::wcscmp(argv[i], L"--calls") == 0 && i + 1 < argc && ParseCount(argv[i + 1], calls)) {
      ++i;
    } else if (std::wcscmp(argv[i], L"--warm-up") == 0 && i + 1 < argc &&
               ParseCount(argv[i + 1], warmUp)) {
      ++i;
    } else if (std::wcscmp(argv[i], L"--inject-leaks") == 0) {
      injectLeaks = true;
    } else if (std::wcscmp(argv[i], L"--library") == 0 && i + 1 < argc) {
      libraryName = argv[++i];
    } else {
      std::fputs("unzip_repeat: bad arguments\n", stderr);
      return 2;
    }
  }
  if (warmUp >= calls) {
    std::fputs("unzip_repeat: the warm-up must be shorter than the run\n", stderr);
    return 2;
  }

  Meter meter;
  if (!meter.Open()) {
    std::fputs("unzip_repeat: no handle count or memory figures on this system\n", stderr);
    return 3;
  }
  const std::wstring dll = DirectoryOfThisProgram() + L"\\" + libraryName;
  const std::wstring dest = TempPath(L"unzip-repeat");
  const std::wstring truncated = TempPath(L"unzip-repeat-truncated.zip");
  if (!WriteTruncatedCopy(archive, truncated)) {
    std::fwprintf(stderr, L"unzip_repeat: cannot read %ls or write its truncated copy\n",
                  archive.c_str());
    return 3;
  }

  Usage base;
  Usage peak;
  int wrongResults = 0;
  for (int i = 0; i < calls; ++i) {
    const bool damaged = i % 4 == 3;
    int result = 12345;
    if (!CallUnzip(dll, damaged ? truncated : archive, dest, result)) {
      std::fwprintf(stderr, L"unzip_repeat: cannot load %ls or its export Unzip\n", dll.c_str());
      return 3;
    }
    if (damaged ? result != 0 : result == 0) {
      std::fprintf(stderr, "call %d (%s archive) returned %d\n", i + 1, damaged ? "truncated" : "intact",
                   result);
      ++wrongResults;
    }
    if (injectLeaks) {
      ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
      if (void* block = ::HeapAlloc(::GetProcessHeap(), 0, kInjectedBlock))
        std::memset(block, 0x5A, kInjectedBlock);
      ::TlsAlloc();
    }
    Usage now;
    if (!meter.Read(now)) {
      std::fputs("unzip_repeat: reading the handle count or memory failed\n", stderr);
      return 3;
    }
    if (i + 1 == warmUp) base = now;
    if (i + 1 >= warmUp) {
      if (now.handles > peak.handles) peak.handles = now.handles;
      if (now.firstFreeTlsIndex > peak.firstFreeTlsIndex) peak.firstFreeTlsIndex = now.firstFreeTlsIndex;
      if (now.privateBytes > peak.privateBytes) peak.privateBytes = now.privateBytes;
    }
  }

  Usage last;
  meter.Read(last);
  const long long handleGrowth = static_cast<long long>(peak.handles) - base.handles;
  const long long memoryGrowth =
      static_cast<long long>(peak.privateBytes) - static_cast<long long>(base.privateBytes);
  std::printf("calls=%d warm-up=%d wrong-results=%d\n", calls, warmUp, wrongResults);
  std::printf("handles: after warm-up %lu, peak %lu, last %lu (growth %lld, tolerance %lu)\n",
              base.handles, peak.handles, last.handles, handleGrowth, kHandleTolerance);
  std::printf("private bytes: after warm-up %llu, peak %llu, last %llu (growth %lld, tolerance %llu)\n",
              static_cast<unsigned long long>(base.privateBytes),
              static_cast<unsigned long long>(peak.privateBytes),
              static_cast<unsigned long long>(last.privateBytes), memoryGrowth,
              static_cast<unsigned long long>(kMemoryTolerance));
  const long long tlsIndexGrowth =
      static_cast<long long>(peak.firstFreeTlsIndex) - static_cast<long long>(base.firstFreeTlsIndex);
  std::printf("first free TLS index: after warm-up %lu, peak %lu, last %lu (growth %lld, tolerance %lu)\n",
              base.firstFreeTlsIndex, peak.firstFreeTlsIndex, last.firstFreeTlsIndex, tlsIndexGrowth,
              kTlsIndexTolerance);
  const bool handlesGrew = handleGrowth > static_cast<long long>(kHandleTolerance);
  const bool emulated = std::getenv("OT_WINE32_EMULATED") != nullptr;
  const bool memoryGrew = !emulated && memoryGrowth > static_cast<long long>(kMemoryTolerance);
  if (emulated) std::printf("private bytes not judged: Wine runs on an emulated processor\n");
  const bool tlsIndexesGrew = tlsIndexGrowth > static_cast<long long>(kTlsIndexTolerance);
  std::fflush(stdout);

  if (injectLeaks) {
    // The injected leaks must all be caught; the library's results still have to be right.
    std::printf("injected leaks seen: handles %s, memory %s, TLS indexes %s\n", handlesGrew ? "yes" : "no",
                emulated ? "not judged" : memoryGrew ? "yes" : "no", tlsIndexesGrew ? "yes" : "no");
    return handlesGrew && (memoryGrew || emulated) && tlsIndexesGrew && wrongResults == 0 ? 0 : 1;
  }
  return !handlesGrew && !memoryGrew && !tlsIndexesGrew && wrongResults == 0 ? 0 : 1;
}
