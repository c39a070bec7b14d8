#include "core/path_text.h"

namespace ot {

std::wstring JoinPath(std::wstring_view dir, std::wstring_view name) {
  if (dir.empty()) return std::wstring(name);
  if (name.empty()) return std::wstring(dir);
  std::wstring result(dir);
  const wchar_t last = dir.back();
  if (last != L'\\' && last != L'/') result += L'\\';
  result += name;
  return result;
}

std::wstring QuoteText(std::wstring_view text) {
  std::wstring result;
  result.reserve(text.size() + 2);
  result += L'"';
  result += text;
  result += L'"';
  return result;
}

std::wstring DirectoryOfModulePath(std::wstring_view modulePath) {
  const auto cut = modulePath.find_last_of(L"\\/");
  if (cut == std::wstring_view::npos) return std::wstring();
  std::wstring dir(modulePath.substr(0, cut));
  // "C:" alone names the current directory of drive C, not its root: keep the backslash.
  if (dir.size() == 2 && dir[1] == L':') dir += L'\\';
  return dir;
}

std::wstring EscapeTrailingBackslash(std::wstring_view dir) {
  std::wstring result(dir);
  if (!result.empty() && result.back() == L'\\') result += L'\\';
  return result;
}

}  // namespace ot
