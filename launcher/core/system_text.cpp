#include "core/system_text.h"

namespace ot {

std::wstring TrimSystemMessage(std::wstring_view text) {
  std::size_t end = text.size();
  while (end > 0) {
    const wchar_t c = text[end - 1];
    if (c == L' ' || c == L'.' || c < 0x20 || c == 0x7F) {
      --end;
    } else {
      break;
    }
  }
  return std::wstring(text.substr(0, end));
}

std::wstring FormatText(std::wstring_view pattern, std::initializer_list<std::wstring_view> args) {
  std::wstring result;
  auto next = args.begin();
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == L'%' && i + 1 < pattern.size() &&
        (pattern[i + 1] == L's' || pattern[i + 1] == L'd') && next != args.end()) {
      result += *next++;
      ++i;
    } else {
      result += pattern[i];
    }
  }
  return result;
}

}  // namespace ot
