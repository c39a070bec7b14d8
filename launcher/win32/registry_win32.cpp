#include "win32/registry_win32.h"

#include <windows.h>
#include <objbase.h>

#include <vector>

namespace ot {

namespace {

HKEY ToHkey(KeyHandle key) { return reinterpret_cast<HKEY>(key); }

HKEY RootHkey(RootKey root) {
  switch (root) {
    case RootKey::LocalMachine: return HKEY_LOCAL_MACHINE;
    case RootKey::CurrentUser: return HKEY_CURRENT_USER;
    case RootKey::Users: return HKEY_USERS;
  }
  return nullptr;
}

}  // namespace

long Win32Registry::Open(RootKey root, std::wstring_view path, std::uint32_t access, KeyHandle& out) {
  const std::wstring subKey(path);
  HKEY key = nullptr;
  const LONG status = ::RegOpenKeyExW(RootHkey(root), subKey.c_str(), 0, access, &key);
  if (status == ERROR_SUCCESS) out = reinterpret_cast<KeyHandle>(key);
  return status;
}

void Win32Registry::Close(KeyHandle key) { ::RegCloseKey(ToHkey(key)); }

long Win32Registry::QueryValueInfo(KeyHandle key, std::wstring_view name, std::uint32_t& type,
                                   std::uint32_t& size) {
  const std::wstring valueName(name);
  DWORD t = 0;
  DWORD s = 0;
  const LONG status = ::RegQueryValueExW(ToHkey(key), valueName.c_str(), nullptr, &t, nullptr, &s);
  type = t;
  size = s;
  return status;
}

long Win32Registry::QueryValue(KeyHandle key, std::wstring_view name, std::uint32_t& type,
                               void* data, std::uint32_t& size) {
  const std::wstring valueName(name);
  DWORD t = 0;
  DWORD s = size;
  const LONG status = ::RegQueryValueExW(ToHkey(key), valueName.c_str(), nullptr, &t,
                                         static_cast<BYTE*>(data), &s);
  type = t;
  size = s;
  return status;
}

long Win32Registry::SetStringValue(KeyHandle key, std::wstring_view name, std::wstring_view text) {
  const std::wstring valueName(name);
  const std::wstring data(text);
  const DWORD bytes = static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t));
  return ::RegSetValueExW(ToHkey(key), valueName.c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(data.c_str()), bytes);
}

long Win32Registry::DeleteValue(KeyHandle key, std::wstring_view name) {
  const std::wstring valueName(name);
  return ::RegDeleteValueW(ToHkey(key), valueName.c_str());
}

long Win32Registry::QueryInfo(KeyHandle key, std::uint32_t& subKeyCount,
                              std::uint32_t& maxSubKeyNameLength) {
  DWORD count = 0;
  DWORD longest = 0;
  const LONG status = ::RegQueryInfoKeyW(ToHkey(key), nullptr, nullptr, nullptr, &count, &longest,
                                         nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  subKeyCount = count;
  maxSubKeyNameLength = longest;
  return status;
}

long Win32Registry::EnumKey(KeyHandle key, std::uint32_t index, std::wstring& name) {
  // Key names are at most 255 characters.
  std::vector<wchar_t> buffer(256);
  DWORD length = static_cast<DWORD>(buffer.size());
  const LONG status = ::RegEnumKeyExW(ToHkey(key), index, buffer.data(), &length, nullptr, nullptr,
                                      nullptr, nullptr);
  if (status == ERROR_SUCCESS) name.assign(buffer.data(), length);
  return status;
}

bool Win32GuidSource::NewGuidText(std::wstring& text) {
  GUID guid{};
  if (FAILED(::CoCreateGuid(&guid))) return false;
  LPOLESTR raw = nullptr;
  if (FAILED(::StringFromCLSID(guid, &raw)) || raw == nullptr) return false;
  text = raw;
  ::CoTaskMemFree(raw);
  return text.size() == 38;
}

}  // namespace ot
