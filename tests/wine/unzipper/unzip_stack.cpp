// The 32-bit "Unzip" must be stdcall: the callee removes its 12 bytes of arguments. A cdecl
// export called through the launcher's WINAPI pointer would leave them on the stack at every
// call, and in an optimised caller that goes unnoticed until something reads the wrong slot.
// This program calls the export as any stdcall caller does (push the three arguments, call)
// and measures the stack pointer on both sides of the call, then puts it back itself, so a
// mismatch is reported rather than crashing the program.
//
//   unzip_stack ARCHIVE     OrvUnzip.dll beside this program; ARCHIVE is the distribution
//                           archive, which must unpack (non-zero), and a missing archive next
//                           to it must be refused (0)
// Exit status: 0 the stack was the same after every call and the results were right, 1 not,
// 2 usage, 3 the library or its export could not be had.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "../common/program_paths.h"
#include "archive_password.h"

#if !defined(__i386__)
#error "unzip_stack measures the 32-bit calling convention; build it for i686"
#endif

namespace {

using ot::test::DirectoryOfThisProgram;
using ot::test::TempPath;

using UnzipProc = int(WINAPI*)(const wchar_t*, const wchar_t*, const char*);

struct Call {
  std::int32_t result;
  std::int32_t stackShift;  // ESP after the call minus ESP before the arguments were pushed
};

Call CallUnzip(UnzipProc unzip, const wchar_t* archive, const wchar_t* destination, const char* password) {
  Call call{};
  // esi (callee-saved in both conventions) keeps ESP from before the pushes; ESP is restored
  // from it afterwards whatever the callee did. The operands are registers, never memory that
  // the compiler might address relative to ESP while the arguments are on the stack.
  asm volatile(
      "movl %%esp, %%esi\n\t"
      "pushl %[password]\n\t"
      "pushl %[destination]\n\t"
      "pushl %[archive]\n\t"
      "call *%[unzip]\n\t"
      "movl %%esp, %%ecx\n\t"
      "subl %%esi, %%ecx\n\t"
      "movl %%esi, %%esp\n\t"
      : "=a"(call.result), "=c"(call.stackShift)
      : [unzip] "r"(unzip), [archive] "r"(archive), [destination] "r"(destination),
        [password] "r"(password)
      : "esi", "edx", "memory", "cc");
  return call;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fputs("usage: unzip_stack ARCHIVE\n", stderr);
    return 2;
  }
  std::wstring archive = argv[1];
  for (wchar_t& c : archive)
    if (c == L'/') c = L'\\';
  const std::wstring missing = archive + L".missing";
  const std::wstring destination = TempPath(L"unzip-stack");

  const std::wstring dll = DirectoryOfThisProgram() + L"\\OrvUnzip.dll";
  const HMODULE library = ::LoadLibraryW(dll.c_str());
  if (!library) {
    std::fwprintf(stderr, L"unzip_stack: cannot load %ls (%lu)\n", dll.c_str(), ::GetLastError());
    return 3;
  }
  const auto unzip = reinterpret_cast<UnzipProc>(
      reinterpret_cast<void*>(::GetProcAddress(library, "Unzip")));
  if (!unzip) {
    std::fputs("unzip_stack: no export Unzip\n", stderr);
    ::FreeLibrary(library);
    return 3;
  }

  struct Case {
    const char* name;
    const std::wstring& archive;
    bool mustUnpack;
  };
  const Case cases[] = {{"intact archive", archive, true}, {"missing archive", missing, false}};
  bool ok = true;
  for (const Case& c : cases) {
    const Call call = CallUnzip(unzip, c.archive.c_str(), destination.c_str(), ot::kArchivePassword);
    const bool resultRight = c.mustUnpack ? call.result != 0 : call.result == 0;
    std::printf("%s: result=%d, stack pointer moved by %d bytes across the call (%s)\n", c.name,
                static_cast<int>(call.result), static_cast<int>(call.stackShift),
                call.stackShift == 0 ? "stdcall: the callee removed its 12 bytes"
                                     : "the callee did not remove exactly its 12 bytes of arguments");
    ok = ok && call.stackShift == 0 && resultRight;
  }
  ::FreeLibrary(library);
  return ok ? 0 : 1;
}
