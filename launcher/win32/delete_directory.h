// Removal of a directory tree, used once at close on the per-run working directory.
#pragma once
#include <string>

namespace ot {

// Removes path and everything beneath it, as far as the file system allows, in one depth-first
// pass. Hidden and system entries go like any other; a read-only file is left as it is, and then
// it, its directory and every directory above it up to path stay. Failures are ignored and
// nothing is reported. A junction or directory symbolic link is removed as a link: its target is
// never entered, so nothing outside the tree is touched.
void DeleteDirectory(const std::wstring& path);

}  // namespace ot
