// The Win32 side of the tree removal in core/tree_removal: each operation is one system call.
// The listing is FindFirstFileW/FindNextFileW, held open while the walk deletes inside it.
#include "win32/delete_directory.h"

#include <windows.h>

#include "core/path_text.h"
#include "core/tree_removal.h"
#include "win32/unique_handle.h"

namespace ot {
namespace {

class Win32TreeFileSystem : public TreeFileSystem {
 public:
  std::uint32_t Attributes(const std::wstring& path) override {
    return ::GetFileAttributesW(path.c_str());
  }

  void ForEachEntry(const std::wstring& dir,
                    const std::function<void(const TreeEntry&)>& visit) override {
    ForEachDirectoryEntry(dir, visit);
  }

  std::uint32_t DeleteOneFile(const std::wstring& path) override {
    return ::DeleteFileW(path.c_str()) ? kRemovalOk : ::GetLastError();
  }

  std::uint32_t RemoveOneDirectory(const std::wstring& path) override {
    return ::RemoveDirectoryW(path.c_str()) ? kRemovalOk : ::GetLastError();
  }

  std::uint32_t TickMs() override { return ::GetTickCount(); }

  void Sleep(std::uint32_t ms) override { ::Sleep(ms); }
};

}  // namespace

void ForEachDirectoryEntry(const std::wstring& dir, const std::function<void(const TreeEntry&)>& visit) {
  WIN32_FIND_DATAW entry;
  UniqueFindHandle search(::FindFirstFileW(JoinPath(dir, L"*").c_str(), &entry));
  if (!search) return;
  do {
    visit(TreeEntry{entry.cFileName, entry.dwFileAttributes});
  } while (::FindNextFileW(search.get(), &entry));
}

void DeleteDirectory(const std::wstring& path) {
  Win32TreeFileSystem fs;
  RemoveTree(fs, path);
}

void DeleteDirectory(const std::wstring& path, std::uint32_t budgetMs) {
  Win32TreeFileSystem fs;
  RemoveTree(fs, path, RemovalLimits{budgetMs, kDefaultRemovalLimits.pauseMs});
}

}  // namespace ot
