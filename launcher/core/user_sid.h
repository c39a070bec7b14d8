// Finding the installing user's hive name (the user's SID as text) through the registry alone:
// a marker value with a fresh GUID is written to HKCU\SOFTWARE, every hive under HKEY_USERS is
// searched for a SOFTWARE key holding the same marker, and the marker is removed again.
#pragma once
#include <string>
#include <string_view>

#include "core/guid_source.h"
#include "core/registry.h"

namespace ot {

// Shaped like a user SID but impossible as one: stands in when no hive could be named.
constexpr wchar_t kUserSidPlaceholder[] = L"X-0-0-00-0000000000-0000000000-0000000000-0000";

// "%s Id" filled with the product name.
std::wstring MarkerValueName();

// The first HKEY_USERS subkey (in enumeration order) whose SOFTWARE key holds the marker value
// with exactly this text, or the placeholder. Throws RegistryReadError when a marker value met
// on the way cannot be read as text; the caller then gives up.
std::wstring FindUserSid(Registry& registry, std::wstring_view marker);

// Marker, search, clean-up. Never fails toward the caller: every failure gives the placeholder.
std::wstring GetUserSid(Registry& registry, GuidSource& guids);

struct RegistryReadError {
  long status;
};

}  // namespace ot
