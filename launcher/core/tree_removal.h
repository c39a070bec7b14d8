// Depth-first removal of a directory tree through handles, with a bounded retry for entries that
// another process still holds.
//
// The top directory is held open by the caller for the whole removal and goes last, through its
// own handle. Each directory below is listed through its handle; each entry is opened once,
// relative to its directory's handle and never through a link, and is acted on only when the
// object opened is the one the listing named: the same volume and file ID, and a link exactly
// when the listing said link. Anything else (swapped for a link or another object after the
// listing, or a system that opens links as their targets) is left alone. A link is deleted as
// a link and never entered; a directory is emptied through its handle and then deleted through
// it; a file is deleted through its handle. No attribute is changed, so a read-only file stays,
// and with it every directory on its way up.
//
// A program that has just been ended, or one the launcher knows nothing of (a virus scanner, an
// indexer), may keep a file open for a moment without delete sharing; the open or the delete
// then fails with a sharing violation or a denied access. When a pass left such a failure
// behind, the walk pauses briefly and runs again, within one time budget for the whole tree. A
// denied access on a read-only entry is not retried: that attribute does not go away by waiting.
#pragma once
#include <cstdint>
#include <string>

#include "core/folder_system.h"

namespace ot {

struct RemovalLimits {
  std::uint32_t budgetMs;  // no new pass starts once this much has passed since the first began
  std::uint32_t pauseMs;   // pause before each further pass
  bool hardStop = false;   // and, when set, no listing, open or delete either
};

// The clean-up's limits for the launcher's own folder: a few seconds in total, in short steps.
constexpr RemovalLimits kDefaultRemovalLimits{5000, 100, false};

// Whether a failed open or delete may succeed on a later pass. error is the system's code,
// attributes the entry's; contentsRemoved tells, for a directory, that every entry met inside it
// went (a "not empty" directory then holds only files still pending deletion because another
// process has them open).
bool IsWorthRetrying(std::uint32_t error, std::uint32_t attributes, bool contentsRemoved);

// Removes everything inside the directory held by dir, whose handle reported facts, and marks dir
// itself for deletion through its handle: it goes when the caller closes it. A held object that
// is a link is deleted as a link, never emptied. Reports nothing.
void RemoveHeldTree(FolderSystem& fs, OpenObject& dir, const ObjectFacts& facts,
                    RemovalLimits limits = kDefaultRemovalLimits);

// The same for the entry named name inside parent, as parent's listing names it: a directory
// goes with everything in it, a link as a link; a file is not a directory and stays.
void RemoveNamedTree(FolderSystem& fs, OpenObject& parent, const std::wstring& name,
                     RemovalLimits limits = kDefaultRemovalLimits);

}  // namespace ot
