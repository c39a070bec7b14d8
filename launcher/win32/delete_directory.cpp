#include "win32/delete_directory.h"

#include "core/tree_removal.h"
#include "win32/folder_system_win32.h"

namespace ot {

void DeleteHeldDirectory(Opened& folder) {
  if (!folder) return;
  Win32FolderSystem fs;
  ObjectFacts facts;
  if (fs.ReadFacts(*folder, facts)) RemoveHeldTree(fs, *folder, facts);
  folder.reset();
}

void DeleteDirectory(const std::wstring& path) {
  std::wstring trimmed = path;
  while (trimmed.size() > 1 && (trimmed.back() == L'\\' || trimmed.back() == L'/')) trimmed.pop_back();
  const std::size_t cut = trimmed.find_last_of(L"\\/");
  if (cut == std::wstring::npos || cut + 1 == trimmed.size()) return;
  // The parent is opened as its path names it, links on the way included; the last component
  // is taken as the parent's listing names it.
  std::wstring parent = trimmed.substr(0, cut);
  if (parent.size() == 2 && parent[1] == L':') parent += L'\\';
  Win32FolderSystem fs;
  if (Opened dir = fs.OpenDirectory(parent)) RemoveNamedTree(fs, *dir, trimmed.substr(cut + 1));
}

}  // namespace ot
