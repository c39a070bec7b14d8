// An in-memory FolderSystem for the removal walk and the sweep: a tree of numbered objects on one
// volume, with links, owners and DACLs, objects another process holds open for a while, a clock,
// and hooks through which a test plays the other process that swaps things during the walk.
//
// Objects behave as on Windows: deletes and renames act on the object a handle names, a
// directory that is not empty refuses deletion, an object marked for deletion goes when its last
// handle closes, and a directory held without delete sharing cannot be opened for deletion by
// anyone else. With linksOpenAsTargets the fake opens links as Wine 8 does (as their targets, with
// the target's file ID also in the parent's listing).
#pragma once
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/folder_system.h"

namespace ot {
namespace fake {

constexpr std::uint32_t kFile = 0x20;
constexpr std::uint32_t kDir = kAttributeDirectory;
constexpr std::uint32_t kDirLink = kAttributeDirectory | kAttributeReparsePoint;
constexpr std::uint32_t kVolume = 0x5EED;
constexpr std::uint32_t kForever = 0xFFFFFFFF;

class FakeFolders : public FolderSystem {
 public:
  struct Node {
    std::uint32_t attributes = 0;
    std::uint64_t parent = 0;
    std::wstring name;
    std::map<std::wstring, std::uint64_t> children;
    std::uint64_t linkTarget = 0;     // for links
    FolderSecurity security;
    std::uint32_t heldUntil = 0;      // another process holds it open until then
    std::uint32_t heldError = kErrorSharingViolation;
    bool sharesDelete = false;        // ...but lets it be deleted (it stays listed meanwhile)
    bool deletePending = false;
    int handles = 0;
  };

  explicit FakeFolders(std::uint32_t startMs = 0) : clock_(startMs), start_(startMs) {
    nodes_[kRoot].attributes = kDir;
  }

  // Building the tree: paths are names joined by '\' below an unnamed root.
  std::uint64_t Dir(const std::wstring& path, std::uint32_t attributes = kDir) { return Make(path, attributes); }
  std::uint64_t File(const std::wstring& path, std::uint32_t attributes = kFile) { return Make(path, attributes); }
  std::uint64_t Link(const std::wstring& path, const std::wstring& target) {
    const std::uint64_t id = Make(path, kDirLink);
    nodes_[id].linkTarget = Find(target);
    return id;
  }
  void Hold(const std::wstring& path, std::uint32_t forMs, std::uint32_t error = kErrorSharingViolation) {
    Node& node = nodes_.at(Find(path));
    node.heldUntil = forMs == kForever ? kForever : start_ + forMs;
    node.heldError = error;
  }
  void SharesDelete(const std::wstring& path, std::uint32_t forMs) {
    Hold(path, forMs);
    nodes_.at(Find(path)).sharesDelete = true;
  }
  void SetAttributes(const std::wstring& path, std::uint32_t attributes) { nodes_.at(Find(path)).attributes = attributes; }
  void Secure(const std::wstring& path, FolderSecurity security) { nodes_.at(Find(path)).security = std::move(security); }

  // The other process's moves: renames path's object to newPath (Linux-side, ignoring holds).
  void Move(const std::wstring& path, const std::wstring& newPath) {
    const std::uint64_t id = Find(path);
    Detach(id);
    Attach(id, newPath);
  }

  // What is there, as paths; a link's target is not listed below the link.
  std::set<std::wstring> Paths() {
    Expire();
    std::set<std::wstring> paths;
    Collect(kRoot, L"", paths);
    return paths;
  }
  bool Has(const std::wstring& path) { return Paths().count(path) != 0; }
  std::uint64_t Find(const std::wstring& path) const {
    std::uint64_t id = kRoot;
    std::size_t from = 0;
    while (from <= path.size()) {
      const std::size_t end = path.find(L'\\', from);
      const std::wstring part = path.substr(from, end == std::wstring::npos ? std::wstring::npos : end - from);
      const auto& children = nodes_.at(id).children;
      auto it = children.find(part);
      if (it == children.end()) return 0;
      id = it->second;
      if (end == std::wstring::npos) break;
      from = end + 1;
    }
    return id;
  }

  // Called after each successful delete (the object is only marked; it goes when closed).
  std::function<void()> afterDelete;
  // Called after each successful security read, and after each rename.
  std::function<void()> afterSecurityRead;
  std::function<void()> afterRename;
  std::uint32_t msPerCall = 0;  // each open, listing, delete and rename takes this long
  bool linksOpenAsTargets = false;
  std::vector<std::wstring> listed;  // paths of what was listed, in order
  std::vector<std::uint32_t> sleeps;
  std::vector<std::uint32_t> callTimes;  // elapsed ms as each open, listing, delete and rename began

  std::uint32_t Elapsed() const { return clock_ - start_; }
  std::uint32_t Slept() const {
    std::uint32_t total = 0;
    for (std::uint32_t ms : sleeps) total += ms;
    return total;
  }

  // FolderSystem
  Opened OpenDirectory(const std::wstring& path) override {
    std::uint64_t id = Find(path);
    if (id && nodes_[id].linkTarget) id = nodes_[id].linkTarget;
    if (!id || !(nodes_[id].attributes & kDir)) return nullptr;
    return Open(id);
  }
  Opened OpenEntry(OpenObject& dir, const std::wstring& name, bool directory, std::uint32_t& error) override {
    Step();
    Expire();
    auto& children = nodes_.at(IdOf(dir)).children;
    auto it = children.find(name);
    if (it == children.end()) return Fail(error, kErrorFileMissing);
    std::uint64_t id = it->second;
    if (linksOpenAsTargets && nodes_[id].linkTarget) id = nodes_[id].linkTarget;
    Node& node = nodes_[id];
    if (node.deletePending) return Fail(error, kErrorNoAccess);
    if (Held(node) && !node.sharesDelete) return Fail(error, node.heldError);
    if (heldHere_.count(id)) return Fail(error, kErrorSharingViolation);
    if (directory != ((node.attributes & kDir) != 0)) return Fail(error, directory ? 267 : kErrorNoAccess);
    Opened opened = Open(id);
    if (directory) heldHere_.insert(id);
    return opened;
  }
  bool ReadFacts(OpenObject& object, ObjectFacts& facts) override {
    const std::uint64_t id = IdOf(object);
    facts = ObjectFacts{nodes_.at(id).attributes, kVolume, id};
    return true;
  }
  bool List(OpenObject& dir, std::vector<ListedEntry>& entries) override {
    Step();
    Expire();
    const std::uint64_t id = IdOf(dir);
    listed.push_back(PathOf(id));
    entries = {{L".", kDir, id}, {L"..", kDir, nodes_.at(id).parent}};
    for (const auto& [name, child] : nodes_.at(id).children) {
      const Node& node = nodes_.at(child);
      const bool throughLink = linksOpenAsTargets && node.linkTarget;
      entries.push_back({name, node.attributes, throughLink ? node.linkTarget : child});
    }
    return true;
  }
  bool ReadSecurity(OpenObject& object, FolderSecurity& security) override {
    security = nodes_.at(IdOf(object)).security;
    if (afterSecurityRead) afterSecurityRead();
    return true;
  }
  std::uint32_t Delete(OpenObject& object) override {
    Step();
    Expire();
    Node& node = nodes_.at(IdOf(object));
    if ((node.attributes & kDir) && !node.linkTarget && !node.children.empty()) return kErrorDirNotEmpty;
    if (node.attributes & kAttributeReadOnly) return kErrorNoAccess;
    node.deletePending = true;
    if (afterDelete) afterDelete();
    return kRemovalOk;
  }
  std::uint32_t Rename(OpenObject& object, OpenObject& dir, const std::wstring& name) override {
    Step();
    const std::uint64_t id = IdOf(object);
    const std::uint64_t target = IdOf(dir);
    if (nodes_.at(target).children.count(name)) return 183;  // ERROR_ALREADY_EXISTS
    Detach(id);
    nodes_[id].parent = target;
    nodes_[id].name = name;
    nodes_[target].children[name] = id;
    if (afterRename) afterRename();
    return kRemovalOk;
  }
  std::uint32_t TickMs() override { return clock_; }
  void Sleep(std::uint32_t ms) override {
    sleeps.push_back(ms);
    clock_ += ms;
  }

 private:
  static constexpr std::uint64_t kRoot = 1;

  struct FakeObject : OpenObject {
    FakeObject(FakeFolders& owner, std::uint64_t object) : fs(owner), id(object) {}
    ~FakeObject() override { fs.Closed(id); }
    FakeFolders& fs;
    std::uint64_t id;
  };

  std::uint64_t IdOf(OpenObject& object) const { return static_cast<FakeObject&>(object).id; }
  Opened Open(std::uint64_t id) {
    ++nodes_[id].handles;
    return std::make_unique<FakeObject>(*this, id);
  }
  static Opened Fail(std::uint32_t& error, std::uint32_t code) {
    error = code;
    return nullptr;
  }
  void Closed(std::uint64_t id) {
    Node& node = nodes_.at(id);
    heldHere_.erase(id);
    if (--node.handles == 0 && node.deletePending && !Held(node)) Remove(id);
  }
  void Step() {
    callTimes.push_back(Elapsed());
    clock_ += msPerCall;
  }
  bool Held(const Node& node) const {
    return node.heldUntil == kForever || (node.heldUntil != 0 && clock_ - start_ < node.heldUntil - start_);
  }
  // Objects marked for deletion that nobody holds any more go.
  void Expire() {
    std::vector<std::uint64_t> gone;
    for (const auto& [id, node] : nodes_)
      if (node.deletePending && node.handles == 0 && !Held(node)) gone.push_back(id);
    for (std::uint64_t id : gone) Remove(id);
  }
  void Remove(std::uint64_t id) {
    if (!nodes_.count(id)) return;
    Detach(id);
    nodes_.erase(id);
  }
  void Detach(std::uint64_t id) {
    Node& node = nodes_.at(id);
    if (nodes_.count(node.parent)) nodes_[node.parent].children.erase(node.name);
    node.parent = 0;
  }
  void Attach(std::uint64_t id, const std::wstring& path) {
    const std::size_t cut = path.rfind(L'\\');
    const std::uint64_t parent = cut == std::wstring::npos ? kRoot : Find(path.substr(0, cut));
    const std::wstring name = cut == std::wstring::npos ? path : path.substr(cut + 1);
    nodes_[id].parent = parent;
    nodes_[id].name = name;
    nodes_.at(parent).children[name] = id;
  }
  std::uint64_t Make(const std::wstring& path, std::uint32_t attributes) {
    const std::uint64_t id = nextId_++;
    nodes_[id].attributes = attributes;
    Attach(id, path);
    return id;
  }
  std::wstring PathOf(std::uint64_t id) const {
    std::wstring path;
    for (std::uint64_t at = id; at && at != kRoot; at = nodes_.at(at).parent)
      path = nodes_.at(at).name + (path.empty() ? L"" : L"\\" + path);
    return path;
  }
  void Collect(std::uint64_t id, const std::wstring& prefix, std::set<std::wstring>& paths) const {
    for (const auto& [name, child] : nodes_.at(id).children) {
      const std::wstring path = prefix.empty() ? name : prefix + L"\\" + name;
      paths.insert(path);
      if (!nodes_.at(child).linkTarget) Collect(child, path, paths);
    }
  }

  std::map<std::uint64_t, Node> nodes_;
  std::set<std::uint64_t> heldHere_;  // directories held without delete sharing by the walk
  std::uint64_t nextId_ = 2;
  std::uint32_t clock_;
  std::uint32_t start_;
};

}  // namespace fake
}  // namespace ot
