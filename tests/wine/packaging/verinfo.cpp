// otverinfo FILE: prints a file's version record as Windows reads it (GetFileVersionInfoW,
// VerQueryValueW), one "name=value" line each, UTF-8:
//   fixed.file=2.5.0.0            fixed.product=2.5.0.0
//   fixed.flagsmask, fixed.flags, fixed.os, fixed.type, fixed.subtype (hexadecimal)
//   translation=0409 04E4         one line per Translation entry
//   string.<Key>=<value>          the string table named by the first Translation entry
// Exit code 1 when the file has no version record or a part of it cannot be read.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

const wchar_t* const kKeys[] = {
    L"CompanyName",     L"FileDescription",  L"FileVersion", L"InternalName",
    L"LegalCopyright",  L"LegalTrademarks",  L"OriginalFilename", L"ProductName",
    L"ProductVersion",  L"ProgramID",
};

std::string Utf8(const wchar_t* text) {
  int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string out(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
  out.resize(static_cast<size_t>(size - 1));
  return out;
}

void PrintVersion(const char* name, DWORD high, DWORD low) {
  std::printf("%s=%lu.%lu.%lu.%lu\n", name, static_cast<unsigned long>(HIWORD(high)),
              static_cast<unsigned long>(LOWORD(high)), static_cast<unsigned long>(HIWORD(low)),
              static_cast<unsigned long>(LOWORD(low)));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: otverinfo FILE\n");
    return 2;
  }
  DWORD ignored = 0;
  DWORD size = ::GetFileVersionInfoSizeW(argv[1], &ignored);
  if (size == 0) {
    std::fprintf(stderr, "no version record (error %lu)\n", ::GetLastError());
    return 1;
  }
  std::vector<BYTE> block(size);
  if (!::GetFileVersionInfoW(argv[1], 0, size, block.data())) {
    std::fprintf(stderr, "GetFileVersionInfoW failed (error %lu)\n", ::GetLastError());
    return 1;
  }

  void* value = nullptr;
  UINT length = 0;
  if (!::VerQueryValueW(block.data(), L"\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO)) {
    std::fprintf(stderr, "no fixed part\n");
    return 1;
  }
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  PrintVersion("fixed.file", fixed->dwFileVersionMS, fixed->dwFileVersionLS);
  PrintVersion("fixed.product", fixed->dwProductVersionMS, fixed->dwProductVersionLS);
  std::printf("fixed.flagsmask=%lX\nfixed.flags=%lX\nfixed.os=%lX\nfixed.type=%lX\nfixed.subtype=%lX\n",
              fixed->dwFileFlagsMask, fixed->dwFileFlags, fixed->dwFileOS, fixed->dwFileType,
              fixed->dwFileSubtype);

  if (!::VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length) ||
      length < 2 * sizeof(WORD)) {
    std::fprintf(stderr, "no Translation entry\n");
    return 1;
  }
  const auto* pairs = static_cast<const WORD*>(value);
  for (UINT i = 0; i + 1 < length / sizeof(WORD); i += 2) {
    std::printf("translation=%04X %04X\n", pairs[i], pairs[i + 1]);
  }

  wchar_t table[32];
  std::swprintf(table, 32, L"%04X%04X", pairs[0], pairs[1]);
  int status = 0;
  for (const wchar_t* key : kKeys) {
    std::wstring path = std::wstring(L"\\StringFileInfo\\") + table + L"\\" + key;
    if (::VerQueryValueW(block.data(), path.c_str(), &value, &length) && length > 0) {
      std::printf("string.%s=%s\n", Utf8(key).c_str(), Utf8(static_cast<const wchar_t*>(value)).c_str());
    } else {
      std::printf("missing.%s\n", Utf8(key).c_str());
      status = 1;
    }
  }
  return status;
}
