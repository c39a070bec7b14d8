#include "memory_file_system.h"

#include <algorithm>
#include <cstring>

#include "zip/name_text.h"

namespace orv::test {

namespace {

constexpr std::uint32_t kDirectory = 0x10;
constexpr std::uint32_t kReadOnly = 0x01;
constexpr std::uint32_t kNormal = 0x80;

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

wchar_t Fold(wchar_t c) {
  if (c >= L'a' && c <= L'z') return static_cast<wchar_t>(c - 32);
  // Latin-1 lower-case letters, except the division sign and y with diaeresis.
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<wchar_t>(c - 32);
  return c;
}

std::wstring FoldText(std::wstring_view text) {
  std::wstring folded(text);
  for (wchar_t& c : folded) c = Fold(c);
  return folded;
}

// The part before the first dot, trailing blanks dropped, names the device: "nul.txt",
// "COM1 .log", "lpt\u00B9".
bool IsDeviceComponent(std::wstring_view component) {
  std::wstring stem(component.substr(0, component.find(L'.')));
  while (!stem.empty() && stem.back() == L' ') stem.pop_back();
  stem = FoldText(stem);
  if (stem == L"CON" || stem == L"PRN" || stem == L"AUX" || stem == L"NUL") return true;
  if (stem.size() != 4) return false;
  if (stem.compare(0, 3, L"COM") != 0 && stem.compare(0, 3, L"LPT") != 0) return false;
  const wchar_t digit = stem[3];
  return (digit >= L'1' && digit <= L'9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

bool IsInvalidNameCharacter(wchar_t c) {
  return static_cast<std::uint32_t>(c) < 0x20 || c == L'<' || c == L'>' || c == L'"' || c == L'|' ||
         c == L'?' || c == L'*';
}

std::wstring JoinKey(const std::vector<std::wstring>& components) {
  std::wstring key;
  for (std::size_t i = 0; i < components.size(); ++i) {
    if (i > 0) key += L'\\';
    key += components[i];
  }
  if (components.size() == 1) key += L'\\';  // the root of a drive: "C:\"
  return key;
}

bool StartsWith(const std::vector<std::wstring>& path, const std::vector<std::wstring>& prefix) {
  return path.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), path.begin());
}

}  // namespace

class WindowsMemoryFileSystem::Input final : public InputFile {
 public:
  Input(WindowsMemoryFileSystem& fs, std::wstring key) : fs_(fs), key_(std::move(key)) { ++fs_.openInputs_; }
  ~Input() override {
    const std::lock_guard<std::recursive_mutex> lock(fs_.mutex_);
    --fs_.openInputs_;
  }

  bool Size(std::uint64_t& size) override {
    const std::lock_guard<std::recursive_mutex> lock(fs_.mutex_);
    const Node* node = NodeNow();
    if (node == nullptr) return false;
    size = node->data.size();
    return true;
  }
  bool Seek(std::uint64_t offset) override {
    position_ = offset;  // seeking past the end is allowed; reading there gives nothing
    return true;
  }
  bool Read(void* buffer, std::size_t size, std::size_t& got) override {
    const std::lock_guard<std::recursive_mutex> lock(fs_.mutex_);
    got = 0;
    const Node* node = NodeNow();
    if (node == nullptr) return false;
    if (position_ >= node->data.size()) return true;
    got = static_cast<std::size_t>(std::min<std::uint64_t>(size, node->data.size() - position_));
    std::memcpy(buffer, node->data.data() + position_, got);
    position_ += got;
    return true;
  }

 private:
  const Node* NodeNow() const {
    const auto it = fs_.nodes_.find(key_);
    return it == fs_.nodes_.end() || it->second.directory ? nullptr : &it->second;
  }

  WindowsMemoryFileSystem& fs_;
  std::wstring key_;
  std::uint64_t position_ = 0;
};

class WindowsMemoryFileSystem::Output final : public OutputFile {
 public:
  Output(WindowsMemoryFileSystem& fs, std::wstring key) : fs_(fs), key_(std::move(key)) {
    ++fs_.openOutputs_;
    ++fs_.nodes_.at(key_).openWriters;
  }
  ~Output() override { Close(); }

  bool Write(const void* data, std::size_t size) override {
    const std::lock_guard<std::recursive_mutex> lock(fs_.mutex_);
    if (closed_) return false;
    Node& node = fs_.nodes_.at(key_);
    if (size > fs_.freeSpace) return false;
    fs_.freeSpace -= size;
    const std::size_t keep =
        node.data.size() < fs_.keepBytes ? std::min(size, fs_.keepBytes - node.data.size()) : 0;
    node.data.append(static_cast<const char*>(data), keep);
    node.size += size;
    fs_.bytesWritten_ += size;
    return true;
  }
  bool SetLastWriteTime(std::uint16_t dosDate, std::uint16_t dosTime) override {
    const std::lock_guard<std::recursive_mutex> lock(fs_.mutex_);
    if (closed_) return false;
    // What DosDateTimeToFileTime accepts.
    const unsigned month = (dosDate >> 5) & 0x0F, day = dosDate & 0x1F;
    const unsigned hour = dosTime >> 11, minute = (dosTime >> 5) & 0x3F, second2 = dosTime & 0x1F;
    if (month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 || second2 > 29) return false;
    Node& node = fs_.nodes_.at(key_);
    node.timeSet = true;
    node.dosDate = dosDate;
    node.dosTime = dosTime;
    return true;
  }
  bool Flush() override {
    const std::lock_guard<std::recursive_mutex> lock(fs_.mutex_);
    ++fs_.flushes_;
    return !closed_;
  }
  bool Close() override {
    const std::lock_guard<std::recursive_mutex> lock(fs_.mutex_);
    if (closed_) return true;
    closed_ = true;
    --fs_.openOutputs_;
    --fs_.nodes_.at(key_).openWriters;
    return true;
  }

 private:
  WindowsMemoryFileSystem& fs_;
  std::wstring key_;
  bool closed_ = false;
};

WindowsMemoryFileSystem::WindowsMemoryFileSystem(const std::wstring& currentDirectory)
    : currentDirectory_(currentDirectory) {
  AddDirectory(currentDirectory);
}

WindowsMemoryFileSystem::~WindowsMemoryFileSystem() = default;

WindowsMemoryFileSystem::Resolved WindowsMemoryFileSystem::Resolve(const std::wstring& path) const {
  Resolved out;
  std::wstring_view rest(path);
  if (rest.size() >= 2 && IsSeparator(rest[0]) && IsSeparator(rest[1])) {
    out.kind = PathKind::kUnc;
    return out;
  }
  const auto isDrive = [](std::wstring_view p) {
    return p.size() >= 2 && p[1] == L':' && ((p[0] >= L'A' && p[0] <= L'Z') || (p[0] >= L'a' && p[0] <= L'z'));
  };
  if (isDrive(rest)) {
    if (rest.size() == 2 || !IsSeparator(rest[2])) {
      out.kind = PathKind::kDriveRelative;  // "C:x": relative to that drive's own current directory
      return out;
    }
    out.components.push_back(std::wstring{Fold(rest[0]), L':'});
    rest.remove_prefix(2);
  } else {
    // Rooted ("\x") or relative: from the current directory's drive, or the directory itself.
    const Resolved current = Resolve(currentDirectory_);
    if (current.kind != PathKind::kPlain) return current;
    if (!rest.empty() && IsSeparator(rest[0])) {
      out.components.push_back(current.components.front());
    } else {
      out.components = current.components;
    }
  }

  std::size_t start = 0;
  while (start <= rest.size()) {
    std::size_t end = start;
    while (end < rest.size() && !IsSeparator(rest[end])) ++end;
    std::wstring component(rest.substr(start, end - start));
    start = end + 1;

    std::size_t dots = 0;
    bool dotsAndBlanks = true;
    for (const wchar_t c : component) {
      if (c == L'.') {
        ++dots;
      } else if (c != L' ') {
        dotsAndBlanks = false;
      }
    }
    if (dotsAndBlanks) {
      if (dots >= 2 && out.components.size() > 1) out.components.pop_back();
      continue;  // "", ".", " ", or ".." at the root
    }
    while (!component.empty() && (component.back() == L'.' || component.back() == L' ')) component.pop_back();
    if (component.find(L':') != std::wstring::npos) {
      out.kind = PathKind::kStream;
      return out;
    }
    if (IsDeviceComponent(component)) {
      out.kind = PathKind::kDevice;
      return out;
    }
    if (std::any_of(component.begin(), component.end(), IsInvalidNameCharacter)) {
      out.kind = PathKind::kInvalid;
      return out;
    }
    out.components.push_back(FoldText(component));
  }
  out.key = JoinKey(out.components);
  return out;
}

std::wstring WindowsMemoryFileSystem::KeyOf(const std::wstring& path) const {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const Resolved where = Resolve(path);
  return where.kind == PathKind::kPlain ? where.key : std::wstring();
}

void WindowsMemoryFileSystem::AddDirectory(const std::wstring& path) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const Resolved where = Resolve(path);
  if (where.kind != PathKind::kPlain) return;
  std::vector<std::wstring> partial;
  for (const std::wstring& component : where.components) {
    partial.push_back(component);
    Node& node = nodes_[JoinKey(partial)];
    if (node.path.empty()) {
      node.directory = true;
      node.attributes = kDirectory;
      node.path = JoinKey(partial);
    }
  }
  nodes_[where.key].path = path;
}

void WindowsMemoryFileSystem::AddFile(const std::wstring& path, std::string data, std::uint32_t attributes) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const Resolved where = Resolve(path);
  if (where.kind != PathKind::kPlain || where.components.size() < 2) return;
  std::vector<std::wstring> parent(where.components.begin(), where.components.end() - 1);
  std::wstring parentPath = JoinKey(parent);
  AddDirectory(parentPath);
  Node& node = nodes_[where.key];
  node = Node();
  node.path = path;
  node.attributes = attributes;
  node.size = data.size();
  node.data = std::move(data);
}

void WindowsMemoryFileSystem::Confine(const std::wstring& directory) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const Resolved where = Resolve(directory);
  confined_ = where.kind == PathKind::kPlain;
  confinement_ = where.components;
}

bool WindowsMemoryFileSystem::MayChange(const std::wstring& operation, const std::wstring& path,
                                        const Resolved& where, bool directory) {
  const char* why = nullptr;
  switch (where.kind) {
    case PathKind::kPlain: break;
    case PathKind::kInvalid: return false;  // the system refuses it; nothing happens
    case PathKind::kDevice: why = "a device"; break;
    case PathKind::kStream: why = "an alternate data stream"; break;
    case PathKind::kUnc: why = "a UNC or device-namespace path"; break;
    case PathKind::kDriveRelative: why = "a drive-relative path"; break;
  }
  if (why == nullptr && confined_) {
    const bool inside = StartsWith(where.components, confinement_) && where.components.size() > confinement_.size();
    const bool onTheWay = directory && StartsWith(confinement_, where.components);
    if (!inside && !onTheWay) why = "outside the destination";
  }
  if (why == nullptr) return true;
  std::wstring text = operation + L" \"" + path + L"\": ";
  for (const char* c = why; *c != '\0'; ++c) text += static_cast<wchar_t>(*c);
  violations_.push_back(std::move(text));
  return false;
}

WindowsMemoryFileSystem::Node* WindowsMemoryFileSystem::Parent(const Resolved& where) {
  if (where.components.size() < 2) return nullptr;
  const std::vector<std::wstring> parent(where.components.begin(), where.components.end() - 1);
  const auto it = nodes_.find(JoinKey(parent));
  return it == nodes_.end() || !it->second.directory ? nullptr : &it->second;
}

const WindowsMemoryFileSystem::Node* WindowsMemoryFileSystem::Find(const std::wstring& path) const {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const Resolved where = Resolve(path);
  if (where.kind != PathKind::kPlain) return nullptr;
  const auto it = nodes_.find(where.key);
  return it == nodes_.end() ? nullptr : &it->second;
}

std::unique_ptr<InputFile> WindowsMemoryFileSystem::OpenForReading(const std::wstring& path) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const Resolved where = Resolve(path);
  if (where.kind != PathKind::kPlain) return nullptr;
  const auto it = nodes_.find(where.key);
  if (it == nodes_.end() || it->second.directory || it->second.openWriters > 0) return nullptr;
  return std::make_unique<Input>(*this, where.key);
}

std::unique_ptr<OutputFile> WindowsMemoryFileSystem::CreateForWriting(const std::wstring& path) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const Resolved where = Resolve(path);
  if (!MayChange(L"create", path, where, false)) return nullptr;
  if (Parent(where) == nullptr) return nullptr;
  auto it = nodes_.find(where.key);
  if (it != nodes_.end()) {
    // CREATE_ALWAYS without sharing: not over a directory, a read-only file or an open file.
    Node& node = it->second;
    if (node.directory || (node.attributes & kReadOnly) || node.openWriters > 0) return nullptr;
    GiveBack(node.size);
    node.data.clear();
    node.size = 0;
    node.timeSet = false;
    node.attributes = 0x20;
    node.path = path;
  } else {
    Node node;
    node.path = path;
    node.attributes = 0x20;
    it = nodes_.emplace(where.key, std::move(node)).first;
  }
  return std::make_unique<Output>(*this, where.key);
}

std::uint32_t WindowsMemoryFileSystem::GetAttributes(const std::wstring& path) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const Resolved where = Resolve(path);
  if (where.kind == PathKind::kDevice) return 0x20;  // a device answers like a file
  if (where.kind != PathKind::kPlain) return kNoAttributes;
  const auto it = nodes_.find(where.key);
  return it == nodes_.end() ? kNoAttributes : it->second.attributes;
}

bool WindowsMemoryFileSystem::SetAttributes(const std::wstring& path, std::uint32_t attributes) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const Resolved where = Resolve(path);
  if (!MayChange(L"set attributes of", path, where, false)) return false;
  const auto it = nodes_.find(where.key);
  if (it == nodes_.end()) return false;
  Node& node = it->second;
  // SetFileAttributes keeps the directory bit to itself; 0 means "normal".
  const std::uint32_t kept = attributes & ~(kDirectory | kNormal);
  node.attributes = (node.directory ? kDirectory : 0) | kept;
  if (node.attributes == 0) node.attributes = kNormal;
  return true;
}

bool WindowsMemoryFileSystem::RemoveFile(const std::wstring& path) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const Resolved where = Resolve(path);
  if (!MayChange(L"delete", path, where, false)) return false;
  const auto it = nodes_.find(where.key);
  if (it == nodes_.end()) return false;
  const Node& node = it->second;
  if (node.directory || (node.attributes & kReadOnly) || node.openWriters > 0) return false;
  GiveBack(node.size);
  nodes_.erase(it);
  return true;
}

bool WindowsMemoryFileSystem::MakeDirectory(const std::wstring& path) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const Resolved where = Resolve(path);
  if (!MayChange(L"create directory", path, where, true)) return false;
  if (Parent(where) == nullptr || nodes_.count(where.key) != 0) return false;
  Node node;
  node.directory = true;
  node.attributes = kDirectory;
  node.path = path;
  nodes_.emplace(where.key, std::move(node));
  return true;
}

bool WindowsMemoryFileSystem::RemoveEmptyDirectory(const std::wstring& path) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const Resolved where = Resolve(path);
  if (!MayChange(L"remove directory", path, where, true)) return false;
  const auto it = nodes_.find(where.key);
  if (it == nodes_.end() || !it->second.directory || where.components.size() < 2) return false;
  const auto child = nodes_.lower_bound(where.key + L"\\");
  if (child != nodes_.end() && child->first.compare(0, where.key.size() + 1, where.key + L"\\") == 0) return false;
  nodes_.erase(it);
  return true;
}

bool WindowsMemoryFileSystem::IsRemovableDrive(const std::wstring& path) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const Resolved where = Resolve(path);
  if (where.kind != PathKind::kPlain || where.components.empty()) return false;
  return removableDrives.find(where.components.front()[0]) != std::wstring::npos;
}

std::wstring WindowsMemoryFileSystem::NarrowToWide(std::string_view text, NarrowCodePage) {
  return zip::Cp437ToWide(text);
}

}  // namespace orv::test
