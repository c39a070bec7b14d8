// Depth-first removal of a directory tree, with a bounded retry for entries that another
// process still holds.
//
// One pass walks the tree as the file system lists it: a subdirectory is emptied and removed as
// soon as the walk meets it, each file gets one delete, each directory one removal. Nothing is
// descended into through a link (reparse point): a link is only unlinked, so nothing outside the
// tree is ever touched. No attribute is changed, so a read-only file stays, and with it every
// directory on its way up.
//
// A program that has just been ended, or one the launcher knows nothing of (a virus scanner, an
// indexer), may keep a file open for a moment without delete sharing; the delete then fails with
// a sharing violation or a denied access. When a pass left such a failure behind, the walk pauses
// briefly and runs again, within one time budget for the whole tree. A denied access on a
// read-only entry is not retried: that attribute does not go away by waiting.
//
// The walk reaches the file system through TreeFileSystem, so the decisions are tested on any
// host; the Win32 adapter lives in win32/delete_directory.cpp.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace ot {

// Win32 error codes and attribute bits the walk looks at.
constexpr std::uint32_t kRemovalOk = 0;
constexpr std::uint32_t kErrorFileMissing = 2;       // ERROR_FILE_NOT_FOUND
constexpr std::uint32_t kErrorPathMissing = 3;       // ERROR_PATH_NOT_FOUND
constexpr std::uint32_t kErrorAccessDenied = 5;      // ERROR_ACCESS_DENIED
constexpr std::uint32_t kErrorSharingViolation = 32; // ERROR_SHARING_VIOLATION
constexpr std::uint32_t kErrorDirNotEmpty = 145;     // ERROR_DIR_NOT_EMPTY
constexpr std::uint32_t kAttributeReadOnly = 0x1;
constexpr std::uint32_t kAttributeDirectory = 0x10;
constexpr std::uint32_t kAttributeReparsePoint = 0x400;
constexpr std::uint32_t kNoAttributes = 0xFFFFFFFF;  // INVALID_FILE_ATTRIBUTES

struct TreeEntry {
  const wchar_t* name;
  std::uint32_t attributes;
};

// The file-system operations the walk needs, and no more.
class TreeFileSystem {
 public:
  virtual ~TreeFileSystem() = default;
  // The attributes of path, or kNoAttributes when it cannot be read.
  virtual std::uint32_t Attributes(const std::wstring& path) = 0;
  // Calls visit for each entry of dir ("." and ".." included) in the order the file system
  // lists them, with the listing open meanwhile; does nothing when dir cannot be listed.
  virtual void ForEachEntry(const std::wstring& dir,
                            const std::function<void(const TreeEntry&)>& visit) = 0;
  // kRemovalOk, or the system's error code (named apart from the Win32 macros DeleteFile and
  // RemoveDirectory).
  virtual std::uint32_t DeleteOneFile(const std::wstring& path) = 0;
  virtual std::uint32_t RemoveOneDirectory(const std::wstring& path) = 0;
  // A millisecond clock (it may wrap) and a pause.
  virtual std::uint32_t TickMs() = 0;
  virtual void Sleep(std::uint32_t ms) = 0;
};

struct RemovalLimits {
  std::uint32_t budgetMs;  // no new pass starts once this much has passed since the first began
  std::uint32_t pauseMs;   // pause before each further pass
};

// The launcher's limits: a few seconds in total, in short steps.
constexpr RemovalLimits kDefaultRemovalLimits{5000, 100};

// Whether a failed delete or removal may succeed on a later pass. error is the system's code,
// attributes the entry's as the listing gave them; contentsRemoved tells, for a directory, that
// every entry met inside it went (a "not empty" directory then holds only files still
// pending deletion because another process has them open).
bool IsWorthRetrying(std::uint32_t error, std::uint32_t attributes, bool contentsRemoved);

// Removes path and everything beneath it as far as the file system allows, retrying within
// limits; reports nothing. A path that is itself a link is unlinked, not emptied.
void RemoveTree(TreeFileSystem& fs, const std::wstring& path,
                RemovalLimits limits = kDefaultRemovalLimits);

}  // namespace ot
