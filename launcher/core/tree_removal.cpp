#include "core/tree_removal.h"

#include <vector>

namespace ot {
namespace {

bool IsLink(std::uint32_t attributes) { return (attributes & kAttributeReparsePoint) != 0; }
bool IsPlainDirectory(std::uint32_t attributes) {
  return (attributes & kAttributeDirectory) && !IsLink(attributes);
}

// One walk over the tree; remembers whether it left anything a later walk may still remove, and
// whether it ran out of time.
class Pass {
 public:
  Pass(FolderSystem& fs, std::uint32_t startedMs, const RemovalLimits& limits)
      : fs_(fs), startedMs_(startedMs), limits_(limits) {}

  bool RetryWanted() const { return retryWanted_ && !stopped_; }
  bool Stopped() const { return stopped_; }

  // With a hard stop, nothing new starts once the budget is spent.
  bool TimeLeft() {
    if (stopped_) return false;
    if (limits_.hardStop && static_cast<std::uint32_t>(fs_.TickMs() - startedMs_) >= limits_.budgetMs)
      stopped_ = true;
    return !stopped_;
  }

  // Removes every entry of the held directory dir; returns whether all of them went.
  bool RemoveContents(OpenObject& dir, const ObjectFacts& facts) {
    std::vector<ListedEntry> entries;
    if (!TimeLeft() || !fs_.List(dir, entries)) return false;
    bool all = true;
    for (const ListedEntry& entry : entries) {
      if (IsDotEntry(entry.name)) continue;
      if (!RemoveEntry(dir, facts.volumeSerial, entry)) all = false;
      if (stopped_) return false;
    }
    return all;
  }

  // Opens the listed entry, checks that it is what was listed, and removes it; returns whether
  // it is gone.
  bool RemoveEntry(OpenObject& parent, std::uint32_t volumeSerial, const ListedEntry& listed) {
    if (!TimeLeft()) return false;
    std::uint32_t error = kRemovalOk;
    Opened object = fs_.OpenEntry(parent, listed.name, (listed.attributes & kAttributeDirectory) != 0, error);
    if (!object) return Settle(error, listed.attributes, true);
    ObjectFacts facts;
    if (!fs_.ReadFacts(*object, facts) || !IsListedObject(listed, facts, volumeSerial)) return false;
    return RemoveHeld(*object, facts);
  }

  // Removes an object this pass holds: a directory after its contents, anything else at once.
  // A link reported "not empty" is not waited for: nothing of the walk's is pending inside it.
  bool RemoveHeld(OpenObject& object, const ObjectFacts& facts) {
    const bool contentsRemoved = IsPlainDirectory(facts.attributes) ? RemoveContents(object, facts)
                                                                    : !IsLink(facts.attributes);
    if (!TimeLeft()) return false;
    return Settle(fs_.Delete(object), facts.attributes, contentsRemoved);
  }

 private:
  // Something that vanished meanwhile counts as removed.
  bool Settle(std::uint32_t error, std::uint32_t attributes, bool contentsRemoved) {
    if (error == kRemovalOk || error == kErrorFileMissing || error == kErrorPathMissing) return true;
    if (IsWorthRetrying(error, attributes, contentsRemoved)) retryWanted_ = true;
    return false;
  }

  FolderSystem& fs_;
  std::uint32_t startedMs_;
  RemovalLimits limits_;
  bool retryWanted_ = false;
  bool stopped_ = false;
};

}  // namespace

bool IsWorthRetrying(std::uint32_t error, std::uint32_t attributes, bool contentsRemoved) {
  const bool readOnly = (attributes & kAttributeReadOnly) != 0;
  switch (error) {
    case kErrorSharingViolation:
      return true;
    case kErrorNoAccess:
      return !readOnly;
    case kErrorDirNotEmpty:
      return contentsRemoved;
    default:
      return false;
  }
}

void RemoveHeldTree(FolderSystem& fs, OpenObject& dir, const ObjectFacts& facts, RemovalLimits limits) {
  const std::uint32_t started = fs.TickMs();
  for (;;) {
    Pass pass(fs, started, limits);
    pass.RemoveHeld(dir, facts);
    if (!pass.RetryWanted()) return;
    const std::uint32_t elapsed = fs.TickMs() - started;  // unsigned: right across a wrap
    if (elapsed >= limits.budgetMs || limits.budgetMs - elapsed < limits.pauseMs) return;
    fs.Sleep(limits.pauseMs);
  }
}

void RemoveNamedTree(FolderSystem& fs, OpenObject& parent, const std::wstring& name, RemovalLimits limits) {
  ObjectFacts parentFacts;
  std::vector<ListedEntry> entries;
  if (!fs.ReadFacts(parent, parentFacts) || !fs.List(parent, entries)) return;
  for (const ListedEntry& listed : entries) {
    if (IsDotEntry(listed.name) || !SameName(listed.name, name)) continue;
    if (!(listed.attributes & kAttributeDirectory)) return;  // a file is not a directory
    std::uint32_t error = kRemovalOk;
    Opened object = fs.OpenEntry(parent, listed.name, true, error);
    ObjectFacts facts;
    if (!object || !fs.ReadFacts(*object, facts) || !IsListedObject(listed, facts, parentFacts.volumeSerial))
      return;
    RemoveHeldTree(fs, *object, facts, limits);
    return;
  }
}

}  // namespace ot
