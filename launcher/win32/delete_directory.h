// Removal of a directory tree through handles (core/tree_removal on win32/folder_system_win32).
#pragma once
#include <string>

#include "core/folder_system.h"

namespace ot {

// Removes the directory held by folder (opened by Win32FolderSystem) and everything beneath it,
// as far as the file system allows, then closes folder: the directory goes with its last handle.
// Hidden and system entries go like any other; a read-only file is left as it is, and then it,
// its directory and every directory above it stay. An entry that another process holds open is
// tried again for a few seconds in all before it is left in place. A link is removed as a link,
// and an entry that is no longer what its directory's listing named is left alone, so nothing
// outside the tree is touched. Failures are ignored and nothing is reported.
void DeleteHeldDirectory(Opened& folder);

// The same for the directory at path, opened relative to its parent's handle as the parent's
// listing names it; a path that is itself a link is unlinked, not emptied, and a file stays.
void DeleteDirectory(const std::wstring& path);

}  // namespace ot
