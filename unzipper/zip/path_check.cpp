#include "zip/path_check.h"

namespace orv::zip {

namespace {

wchar_t ToUpperAscii(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c; }

bool IsDotsOnly(std::wstring_view component) {
  int dots = 0;
  for (const wchar_t c : component) {
    if (c == L'.') {
      ++dots;
    } else if (c != L' ') {
      return false;
    }
  }
  return dots >= 2;
}

// "NUL", "nul.txt", "COM1 .log": the part before the first dot, trailing blanks dropped.
bool IsDeviceName(std::wstring_view component) {
  std::wstring_view stem = component.substr(0, component.find(L'.'));
  while (!stem.empty() && stem.back() == L' ') stem.remove_suffix(1);
  if (stem.size() != 3 && stem.size() != 4) return false;
  wchar_t upper[4] = {};
  for (std::size_t i = 0; i < stem.size(); ++i) upper[i] = ToUpperAscii(stem[i]);
  const std::wstring_view name(upper, stem.size());
  if (name == L"CON" || name == L"PRN" || name == L"AUX" || name == L"NUL") return true;
  if (name.size() == 4 && (name.substr(0, 3) == L"COM" || name.substr(0, 3) == L"LPT")) {
    // Windows takes the superscript digits one to three for digits here as well ("COM\u00B9").
    const wchar_t digit = name[3];
    return (digit >= L'1' && digit <= L'9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
  }
  return false;
}

}  // namespace

bool IsSafeEntryName(std::wstring_view workingName) {
  if (workingName.empty()) return false;
  if (workingName.front() == L'\\' || workingName.front() == L'/') return false;
  std::size_t start = 0;
  while (start <= workingName.size()) {
    std::size_t end = workingName.find_first_of(L"\\/", start);
    if (end == std::wstring_view::npos) end = workingName.size();
    const std::wstring_view component = workingName.substr(start, end - start);
    for (const wchar_t c : component) {
      if (c == L':' || static_cast<unsigned>(c) < 0x20) return false;
    }
    if (IsDotsOnly(component) || IsDeviceName(component)) return false;
    start = end + 1;
  }
  return true;
}

}  // namespace orv::zip
