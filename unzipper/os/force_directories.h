// Making a directory with every missing parent, outermost first, over any file system: the
// archiver's (through its FileSystem) and the launcher's temporary directory (Win32 calls). Only
// the levels that do not exist are made, so nothing is asked of a drive root or a share.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace orv {

// attributesOf(path) gives Windows file attributes (0x10: a directory), or 0xFFFFFFFF when
// nothing is there; make(path) makes one level and says whether it did. True when the directory
// exists afterwards; false when a file is in the way or a level cannot be made.
template <typename AttributesOf, typename Make>
bool ForceDirectories(const std::wstring& directory, AttributesOf attributesOf, Make make) {
  constexpr std::uint32_t kAbsent = 0xFFFFFFFF;
  constexpr std::uint32_t kDirectory = 0x10;
  const auto isSeparator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
  const auto isDriveOnly = [](const std::wstring& p) { return p.size() == 2 && p[1] == L':'; };
  std::wstring path = directory;
  while (!path.empty() && isSeparator(path.back())) path.pop_back();
  std::vector<std::wstring> missing;
  while (!path.empty() && !isDriveOnly(path)) {
    const std::uint32_t attributes = attributesOf(path);
    if (attributes != kAbsent) {
      if (!(attributes & kDirectory)) return false;  // a file is in the way
      break;
    }
    missing.push_back(path);
    const auto cut = path.find_last_of(L"\\/");
    if (cut == std::wstring::npos) break;
    path.erase(cut);
    while (!path.empty() && isSeparator(path.back())) path.pop_back();
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (!make(*it)) {
      const std::uint32_t attributes = attributesOf(*it);  // made meanwhile by someone else?
      if (attributes == kAbsent || !(attributes & kDirectory)) return false;
    }
  }
  return true;
}

}  // namespace orv
