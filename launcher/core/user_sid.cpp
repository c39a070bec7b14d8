#include "core/user_sid.h"

#include <algorithm>
#include <vector>

#include "core/product.h"

namespace ot {

namespace {

// The rights that open HKEY_USERS serve for every per-hive key of the same search.
constexpr std::uint32_t kUsersRights[] = {kKeyRead, kKeyReadEnumerate, kKeyQueryValue};

std::vector<std::wstring> ListUserHives(Registry& registry, std::uint32_t& rights) {
  std::vector<std::wstring> names;
  ScopedKey users(registry);
  for (const std::uint32_t candidate : kUsersRights) {
    if (users.Open(RootKey::Users, L"", candidate) == kErrorSuccess) {
      rights = candidate;
      break;
    }
  }
  if (!users.IsOpen()) return names;

  std::uint32_t count = 0;
  std::uint32_t longest = 0;
  if (registry.QueryInfo(users.Get(), count, longest) != kErrorSuccess) return names;
  for (std::uint32_t index = 0; index < count; ++index) {
    std::wstring name;
    const long status = registry.EnumKey(users.Get(), index, name);
    if (status == kErrorNoMoreItems) break;  // hives unloaded while we list
    if (status != kErrorSuccess) continue;   // this index could not be read: pass it over
    names.push_back(std::move(name));
  }
  return names;
}

// The value's text as stored (UTF-16LE data, up to its first NUL); empty when it has no data.
// Throws for a value that cannot be read or is not text.
std::wstring ReadMarkerText(Registry& registry, KeyHandle key, std::wstring_view name,
                            std::uint32_t size) {
  if (size == 0) return std::wstring();
  std::vector<unsigned char> buffer(size);
  std::uint32_t type = 0;
  std::uint32_t got = size;
  const long status = registry.QueryValue(key, name, type, buffer.data(), got);
  if (status != kErrorSuccess) throw RegistryReadError{status};
  if (type != kRegSz && type != kRegExpandSz) throw RegistryReadError{kErrorFileNotFound};
  got = std::min<std::uint32_t>(got, size);
  std::wstring text;
  for (std::uint32_t i = 0; i + 1 < got; i += 2) {
    const auto unit = static_cast<wchar_t>(buffer[i] | (buffer[i + 1] << 8));
    if (unit == L'\0') break;
    text += unit;
  }
  return text;
}

}  // namespace

std::wstring MarkerValueName() { return std::wstring(kProductName) + L" Id"; }

std::wstring FindUserSid(Registry& registry, std::wstring_view marker) {
  std::uint32_t rights = kKeyRead;
  const std::vector<std::wstring> hives = ListUserHives(registry, rights);
  const std::wstring valueName = MarkerValueName();

  for (const std::wstring& hive : hives) {
    ScopedKey software(registry);
    if (software.Open(RootKey::Users, hive + L"\\SOFTWARE", rights) != kErrorSuccess) continue;
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    if (registry.QueryValueInfo(software.Get(), valueName, type, size) != kErrorSuccess) continue;
    const std::wstring text = ReadMarkerText(registry, software.Get(), valueName, size);
    if (text == marker) return hive;
  }
  return kUserSidPlaceholder;
}

std::wstring GetUserSid(Registry& registry, GuidSource& guids) {
  try {
    std::wstring marker;
    if (!guids.NewGuidText(marker) || marker.empty()) return kUserSidPlaceholder;

    ScopedKey software(registry);
    if (software.Open(RootKey::CurrentUser, L"SOFTWARE", kKeyAllAccess) != kErrorSuccess)
      return kUserSidPlaceholder;
    const std::wstring valueName = MarkerValueName();
    if (registry.SetStringValue(software.Get(), valueName, marker) != kErrorSuccess)
      return kUserSidPlaceholder;

    std::wstring result = FindUserSid(registry, marker);
    registry.DeleteValue(software.Get(), valueName);  // its outcome does not change the answer
    return result;
  } catch (...) {
    // The marker stays on this path; a later run of the same user replaces and removes it.
    return kUserSidPlaceholder;
  }
}

}  // namespace ot
