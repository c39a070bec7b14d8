// Removal of a directory tree, used once at close on the per-run working directory.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace ot {

struct TreeEntry;  // core/tree_removal.h

// Removes path and everything beneath it, as far as the file system allows (core/tree_removal).
// Hidden and system entries go like any other; a read-only file is left as it is, and then it,
// its directory and every directory above it up to path stay. An entry that another process
// holds open is tried again for a few seconds in all before it is left in place. Failures are
// ignored and nothing is reported. A junction or directory symbolic link is removed as a link:
// its target is never entered, so nothing outside the tree is touched.
void DeleteDirectory(const std::wstring& path);
// The same, starting no new pass once budgetMs has passed.
void DeleteDirectory(const std::wstring& path, std::uint32_t budgetMs);

// Calls visit for each entry of dir ("." and ".." included) as FindFirstFileW/FindNextFileW
// list it, with the listing open meanwhile; nothing when dir cannot be listed.
void ForEachDirectoryEntry(const std::wstring& dir, const std::function<void(const TreeEntry&)>& visit);

}  // namespace ot
