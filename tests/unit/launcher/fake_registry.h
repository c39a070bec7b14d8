// A simulated registry of several hives for the launcher's registry logic. Keys are addressed
// by root and path (case-insensitive like Windows); each key may refuse some access rights.
// Every open handle is tracked so tests can check that all of them were closed.
#pragma once
#include <cstring>
#include <cwctype>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/registry.h"

namespace ot::test {

struct FakeValue {
  std::uint32_t type = kRegSz;
  std::vector<unsigned char> data;
};

inline FakeValue TextValue(const std::wstring& text, std::uint32_t type = kRegSz) {
  FakeValue v;
  v.type = type;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.c_str());
  // UTF-16 as on Windows: the launcher's text values are wchar_t strings of 2 bytes there.
  for (wchar_t c : text) {
    v.data.push_back(static_cast<unsigned char>(c & 0xFF));
    v.data.push_back(static_cast<unsigned char>((c >> 8) & 0xFF));
  }
  v.data.push_back(0);
  v.data.push_back(0);
  (void)bytes;
  return v;
}

inline FakeValue DwordValue(std::uint32_t number, std::uint32_t type = kRegDword) {
  FakeValue v;
  v.type = type;
  for (int i = 0; i < 4; ++i) v.data.push_back(static_cast<unsigned char>(number >> (8 * i)));
  return v;
}

class FakeRegistry : public Registry {
 public:
  struct Key {
    std::map<std::wstring, FakeValue> values;
    std::set<std::uint32_t> refusedRights;
    bool refuseAll = false;
  };

  Key& AddKey(RootKey root, const std::wstring& path) { return keys_[Id(root, path)]; }
  // Subkeys of HKEY_USERS are listed in the order they were added, like a real enumeration.
  void AddUserHive(const std::wstring& name) { users_.push_back(name); }
  void FailEnumAt(std::uint32_t index) { failEnum_.insert(index); }
  bool refuseUsersRoot = false;
  long setValueStatus = kErrorSuccess;

  bool HasValue(RootKey root, const std::wstring& path, const std::wstring& name) const {
    auto it = keys_.find(Id(root, path));
    return it != keys_.end() && it->second.values.count(name) != 0;
  }
  int OpenHandles() const { return static_cast<int>(open_.size()); }
  int TotalOpens() const { return totalOpens_; }
  std::vector<std::uint32_t> openedRights;

  long Open(RootKey root, std::wstring_view path, std::uint32_t access, KeyHandle& out) override {
    openedRights.push_back(access);
    std::wstring id;
    if (root == RootKey::Users && path.empty()) {
      if (refuseUsersRoot) return kErrorAccessDenied;
      id = L"<users-root>";
    } else {
      id = Id(root, std::wstring(path));
      auto it = keys_.find(id);
      if (it == keys_.end()) return kErrorFileNotFound;
      if (it->second.refuseAll || it->second.refusedRights.count(access)) return kErrorAccessDenied;
    }
    out = ++nextHandle_;
    open_[out] = id;
    ++totalOpens_;
    return kErrorSuccess;
  }
  void Close(KeyHandle key) override { open_.erase(key); }

  long QueryValueInfo(KeyHandle key, std::wstring_view name, std::uint32_t& type,
                      std::uint32_t& size) override {
    const FakeValue* v = Lookup(key, name);
    if (!v) return kErrorFileNotFound;
    type = v->type;
    size = static_cast<std::uint32_t>(v->data.size());
    return kErrorSuccess;
  }
  long QueryValue(KeyHandle key, std::wstring_view name, std::uint32_t& type, void* data,
                  std::uint32_t& size) override {
    const FakeValue* v = Lookup(key, name);
    if (!v) return kErrorFileNotFound;
    type = v->type;
    if (v->data.size() > size) {
      size = static_cast<std::uint32_t>(v->data.size());
      return kErrorMoreData;
    }
    if (!v->data.empty()) std::memcpy(data, v->data.data(), v->data.size());
    size = static_cast<std::uint32_t>(v->data.size());
    return kErrorSuccess;
  }
  long SetStringValue(KeyHandle key, std::wstring_view name, std::wstring_view text) override {
    if (setValueStatus != kErrorSuccess) return setValueStatus;
    auto it = open_.find(key);
    if (it == open_.end()) return kErrorAccessDenied;
    keys_[it->second].values[std::wstring(name)] = TextValue(std::wstring(text));
    return kErrorSuccess;
  }
  long DeleteValue(KeyHandle key, std::wstring_view name) override {
    auto it = open_.find(key);
    if (it == open_.end()) return kErrorAccessDenied;
    return keys_[it->second].values.erase(std::wstring(name)) ? kErrorSuccess : kErrorFileNotFound;
  }
  long QueryInfo(KeyHandle key, std::uint32_t& count, std::uint32_t& longest) override {
    if (!IsUsersRoot(key)) return kErrorAccessDenied;
    count = static_cast<std::uint32_t>(users_.size());
    longest = 0;
    for (const auto& u : users_) longest = std::max<std::uint32_t>(longest, static_cast<std::uint32_t>(u.size()));
    return kErrorSuccess;
  }
  long EnumKey(KeyHandle key, std::uint32_t index, std::wstring& name) override {
    if (!IsUsersRoot(key)) return kErrorAccessDenied;
    if (failEnum_.count(index)) return kErrorAccessDenied;
    if (index >= users_.size()) return kErrorNoMoreItems;
    name = users_[index];
    return kErrorSuccess;
  }

 private:
  static std::wstring Id(RootKey root, const std::wstring& path) {
    std::wstring id = std::to_wstring(static_cast<int>(root)) + L":";
    for (wchar_t c : path) id += static_cast<wchar_t>(std::towlower(c));
    return id;
  }
  bool IsUsersRoot(KeyHandle key) const {
    auto it = open_.find(key);
    return it != open_.end() && it->second == L"<users-root>";
  }
  const FakeValue* Lookup(KeyHandle key, std::wstring_view name) const {
    auto it = open_.find(key);
    if (it == open_.end()) return nullptr;
    auto k = keys_.find(it->second);
    if (k == keys_.end()) return nullptr;
    auto v = k->second.values.find(std::wstring(name));
    return v == k->second.values.end() ? nullptr : &v->second;
  }

  std::map<std::wstring, Key> keys_;
  std::vector<std::wstring> users_;
  std::set<std::uint32_t> failEnum_;
  std::map<KeyHandle, std::wstring> open_;
  KeyHandle nextHandle_ = 0;
  int totalOpens_ = 0;
};

}  // namespace ot::test
