#include "core/tree_removal.h"

#include "core/path_text.h"

namespace ot {

namespace {

bool IsDotEntry(const wchar_t* name) {
  return (name[0] == L'.' && name[1] == L'\0') ||
         (name[0] == L'.' && name[1] == L'.' && name[2] == L'\0');
}

// One walk over the tree; remembers whether it left anything a later walk may still remove.
class Pass {
 public:
  explicit Pass(TreeFileSystem& fs) : fs_(fs) {}

  bool RetryWanted() const { return retryWanted_; }

  // Removes path, whatever it is; returns whether it is gone.
  bool Remove(const std::wstring& path, std::uint32_t attributes) {
    if (attributes & kAttributeReparsePoint) return RemoveLink(path, attributes);
    if (attributes & kAttributeDirectory) return RemoveDirectoryTree(path, attributes);
    return Settle(fs_.DeleteOneFile(path), attributes, true);
  }

  // The directory's entries first, then the directory itself.
  bool RemoveDirectoryTree(const std::wstring& path, std::uint32_t attributes) {
    bool contentsRemoved = true;
    fs_.ForEachEntry(path, [&](const TreeEntry& entry) {
      if ((entry.attributes & kAttributeDirectory) && IsDotEntry(entry.name)) return;
      if (!Remove(JoinPath(path, entry.name), entry.attributes)) contentsRemoved = false;
    });
    return Settle(fs_.RemoveOneDirectory(path), attributes, contentsRemoved);
  }

  // A junction or directory symbolic link goes as a directory, a file link as a file; the
  // target is never entered. A link reported "not empty" (Wine looks through a link to its
  // target) is not waited for: nothing of the walk's is pending inside it.
  bool RemoveLink(const std::wstring& path, std::uint32_t attributes) {
    const std::uint32_t error = (attributes & kAttributeDirectory) ? fs_.RemoveOneDirectory(path)
                                                                   : fs_.DeleteOneFile(path);
    return Settle(error, attributes, false);
  }

 private:
  // Something that vanished meanwhile counts as removed.
  bool Settle(std::uint32_t error, std::uint32_t attributes, bool contentsRemoved) {
    if (error == kRemovalOk || error == kErrorFileMissing || error == kErrorPathMissing) return true;
    if (IsWorthRetrying(error, attributes, contentsRemoved)) retryWanted_ = true;
    return false;
  }

  TreeFileSystem& fs_;
  bool retryWanted_ = false;
};

}  // namespace

bool IsWorthRetrying(std::uint32_t error, std::uint32_t attributes, bool contentsRemoved) {
  const bool readOnly = attributes != kNoAttributes && (attributes & kAttributeReadOnly) != 0;
  switch (error) {
    case kErrorSharingViolation:
      return true;
    case kErrorAccessDenied:
      return !readOnly;
    case kErrorDirNotEmpty:
      return contentsRemoved;
    default:
      return false;
  }
}

void RemoveTree(TreeFileSystem& fs, const std::wstring& path, RemovalLimits limits) {
  const std::uint32_t started = fs.TickMs();
  for (;;) {
    Pass pass(fs);
    const std::uint32_t attributes = fs.Attributes(path);
    if (attributes != kNoAttributes && (attributes & kAttributeReparsePoint)) {
      pass.RemoveLink(path, attributes);
    } else {
      // A path that cannot be read is still walked: listing and removal then fail harmlessly.
      pass.RemoveDirectoryTree(path, attributes == kNoAttributes ? 0 : attributes);
    }
    if (!pass.RetryWanted()) return;
    const std::uint32_t elapsed = fs.TickMs() - started;  // unsigned: right across a wrap
    if (elapsed >= limits.budgetMs || limits.budgetMs - elapsed < limits.pauseMs) return;
    fs.Sleep(limits.pauseMs);
  }
}

}  // namespace ot
