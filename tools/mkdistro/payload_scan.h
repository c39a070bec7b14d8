// Turning a payload directory into the list of archive entries, and refusing anything the
// archive could not carry faithfully: the archive has no directory entries (an empty directory
// would be lost), no ZIP64 records (sizes and counts must fit the 32- and 16-bit fields), and
// its names become paths under the unpacking directory on Windows.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ot::mkdistro {

// Largest count and file size the archive's fields can carry without ZIP64 records. 0xFFFFFFFF
// itself is the marker of a ZIP64 size, so a file must stay below it.
constexpr std::size_t kMaxEntries = 0xFFFF;
constexpr std::uint64_t kMaxFileSize = 0xFFFFFFFEULL;

// On the user's machine the payload is unpacked under
// C:\Users\<name>\AppData\Local\Temp\{GUID}\Setup\, and Windows programs that do not opt into
// long paths (the unzipping library among them, and .NET Framework programs) can open no file
// path longer than 259 characters and create no directory path longer than 247. Windows user
// names have at most 20 characters; with such a name the folder above takes 94 of them.
constexpr std::size_t kUnpackFolderLength = 94;
constexpr std::size_t kMaxFilePathLength = 259;
constexpr std::size_t kMaxDirectoryPathLength = 247;

// Empty when the entry (a name CheckEntryName accepts) unpacked in that folder stays within both
// limits; otherwise why not, naming the entry and the length its path would have. Lengths count
// UTF-16 code units, as Windows does.
std::string CheckUnpackedPathLength(std::string_view name);

struct PayloadFile {
  std::string name;    // entry name: UTF-8, "/" between components
  std::string path;    // where the file is on disk
  std::uint64_t size = 0;
  std::int64_t mtime = 0;  // seconds since 1970
};

// Empty when name is a safe relative entry name for Windows; otherwise why it is not:
// not UTF-8, empty components, "." or "..", a leading "/", "\", ":", control characters or
// other characters Windows forbids in file names, a component ending in a dot or a space, or a
// reserved device name such as "CON" or "com1.txt".
std::string CheckEntryName(std::string_view name);

// Sorts into archive order: the root's files first, then each directory's files together,
// directories in tree order (a directory's own files before those of its subdirectories),
// names compared byte by byte.
void SortArchiveOrder(std::vector<PayloadFile>& files);

// Refuses a list the archive cannot carry: no files, more than kMaxEntries, a file larger than
// kMaxFileSize, an unsafe name, a name too long to unpack on the user's machine (unless
// allowLongPaths), or two names that Windows would treat as the same path (they differ only in
// ASCII letter case, or a file's name is also used as a directory). Throws DistroError.
void CheckPayload(const std::vector<PayloadFile>& files, bool allowLongPaths = false);

// Empty when no two of the entry names would be one path on Windows; otherwise why: the same
// name twice, names that differ only in ASCII letter case, or a file's name also used as a
// directory (in any letter case).
std::string FindNameClash(const std::vector<std::string>& names);

// Lists the regular files under root, checked and in archive order. Throws DistroError for a
// missing or unreadable directory, an empty directory anywhere in the tree, a symbolic link or
// special file, and everything CheckPayload refuses.
std::vector<PayloadFile> ScanPayload(const std::string& root, bool allowLongPaths = false);

}  // namespace ot::mkdistro
