// Depth-first removal of a directory tree.
//
// One enumeration is open per level: a subdirectory is emptied and removed as soon as the walk
// meets it, before the enumeration of its parent goes on. Each file gets one DeleteFileW and
// each directory one RemoveDirectoryW; nothing is retried and no attribute is changed, so a
// read-only file (or a file held open by another process) stays, and with it every directory on
// its way up.
//
// Reparse points (junctions, directory symbolic links) carry the directory bit as well. Walking
// into one would delete files that live outside the tree, so a reparse point is only unlinked:
// RemoveDirectoryW for a directory link, DeleteFileW for a file link. The same holds for the
// path that the caller hands in.
#include "win32/delete_directory.h"

#include <windows.h>

#include "core/path_text.h"
#include "win32/unique_handle.h"

namespace ot {
namespace {

bool IsDotEntry(const wchar_t* name) {
  return (name[0] == L'.' && name[1] == L'\0') ||
         (name[0] == L'.' && name[1] == L'.' && name[2] == L'\0');
}

void RemoveLink(const std::wstring& path, DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    ::RemoveDirectoryW(path.c_str());
  } else {
    ::DeleteFileW(path.c_str());
  }
}

void DeleteTree(const std::wstring& path) {
  WIN32_FIND_DATAW entry;
  UniqueFindHandle search(::FindFirstFileW(JoinPath(path, L"*").c_str(), &entry));
  if (search) {
    do {
      const DWORD attributes = entry.dwFileAttributes;
      if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && IsDotEntry(entry.cFileName)) continue;
      const std::wstring child = JoinPath(path, entry.cFileName);
      if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        RemoveLink(child, attributes);
      } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        DeleteTree(child);
      } else {
        ::DeleteFileW(child.c_str());
      }
    } while (::FindNextFileW(search.get(), &entry));
  }
  search.reset();  // the directory cannot go while its own enumeration is open
  ::RemoveDirectoryW(path.c_str());
}

}  // namespace

void DeleteDirectory(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    RemoveLink(path, attributes);
    return;
  }
  DeleteTree(path);
}

}  // namespace ot
